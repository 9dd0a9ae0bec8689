// Fixed-width reads at any position, in either byte order.

#include <cstdint>

#include "base/bytes.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

TEST(Bytes, ReadsEveryWidthInBothOrdersAtAnUnalignedPosition) {
  const std::uint8_t raw[] = {0xEE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  const std::span<const std::uint8_t> bytes(raw);
  EXPECT_EQ(read_uint<std::uint16_t>(bytes, 1, ByteOrder::Little), 0x0201);
  EXPECT_EQ(read_uint<std::uint16_t>(bytes, 1, ByteOrder::Big), 0x0102);
  EXPECT_EQ(read_uint<std::uint32_t>(bytes, 1, ByteOrder::Little), 0x04030201U);
  EXPECT_EQ(read_uint<std::uint32_t>(bytes, 1, ByteOrder::Big), 0x01020304U);
  EXPECT_EQ(read_uint<std::uint64_t>(bytes, 1, ByteOrder::Little), 0x8807060504030201ULL);
  EXPECT_EQ(read_uint<std::uint64_t>(bytes, 1, ByteOrder::Big), 0x0102030405060788ULL);
  EXPECT_EQ(read_le<std::uint8_t>(bytes, 8), 0x88);
  EXPECT_EQ(read_be<std::int16_t>(bytes, 7), static_cast<std::int16_t>(0x0788));
  EXPECT_EQ(read_le<std::int32_t>(bytes, 5), static_cast<std::int32_t>(0x88070605));
}

}  // namespace
}  // namespace kolva::test
