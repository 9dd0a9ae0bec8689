#include "export/tar.hpp"

#include <array>
#include <cstring>

namespace kolva::shard {
namespace {

// Every field but name, size and checksum is the same in each header.
struct Template {
  std::array<std::uint8_t, kTarBlock> block{};
  std::uint32_t sum = 0;  // of the block with the checksum field as spaces
  Template() {
    auto put = [&](std::size_t at, std::string_view text) {
      std::memcpy(block.data() + at, text.data(), text.size());
    };
    put(100, "0000644");      // mode
    put(108, "0000000");      // uid
    put(116, "0000000");      // gid
    put(136, "00000000000");  // mtime
    put(148, "        ");     // checksum, spaces while summing
    block[156] = '0';         // regular file
    put(257, "ustar");        // magic "ustar\0", then version "00"
    put(263, "00");
    for (std::uint8_t b : block) sum += b;
  }
};

const Template& header_template() {
  static const Template t;
  return t;
}

}  // namespace

bool write_tar_header(std::string_view name, std::uint64_t size, std::uint8_t* out) {
  if (name.empty() || name.size() > kTarNameMax || size > kTarSizeMax ||
      name.find('\0') != std::string_view::npos) {
    return false;
  }
  const Template& t = header_template();
  std::memcpy(out, t.block.data(), kTarBlock);
  std::uint32_t sum = t.sum;
  std::memcpy(out, name.data(), name.size());
  for (char c : name) sum += static_cast<std::uint8_t>(c);
  // Size: 11 octal digits and a NUL.
  std::uint8_t* digits = out + 124;
  std::uint64_t rest = size;
  for (int i = 10; i >= 0; --i) {
    const auto d = static_cast<std::uint8_t>('0' + (rest & 7));
    rest >>= 3;
    digits[i] = d;
    sum += d;
  }
  digits[11] = 0;
  // Checksum: 6 octal digits, a NUL and a space.
  std::uint8_t* check = out + 148;
  for (int i = 5; i >= 0; --i) {
    check[i] = static_cast<std::uint8_t>('0' + (sum & 7));
    sum >>= 3;
  }
  check[6] = 0;
  check[7] = ' ';
  return true;
}

}  // namespace kolva::shard
