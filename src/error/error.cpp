#include "error/error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text/utf8.hpp"

namespace kolva {
namespace {

// Decodes one UTF-8 sequence at text[i]; invalid bytes are taken one by one.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  auto cont = [&](std::size_t k) -> int {
    if (i + k >= text.size()) return -1;
    const auto b = static_cast<unsigned char>(text[i + k]);
    return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
  };
  if (b0 < 0x80) {
    i += 1;
    return b0;
  }
  if ((b0 & 0xE0) == 0xC0 && cont(1) >= 0) {
    char32_t cp = ((b0 & 0x1F) << 6) | cont(1);
    i += 2;
    return cp;
  }
  if ((b0 & 0xF0) == 0xE0 && cont(1) >= 0 && cont(2) >= 0) {
    char32_t cp = ((b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
    return cp;
  }
  if ((b0 & 0xF8) == 0xF0 && cont(1) >= 0 && cont(2) >= 0 && cont(3) >= 0) {
    char32_t cp = ((b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
    return cp;
  }
  i += 1;
  return 0xFFFD;
}

// Control characters, DEL, the C1 block, soft hyphen and the line/paragraph
// separators are escaped; everything else prints as itself.
bool printable(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0xAD) return false;
  if (cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF) return false;
  return true;
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (printable(cp)) {
          text::append_utf8(out, cp);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        }
    }
  }
  out += '"';
  return out;
}

std::string_view OsError::kind() const {
  switch (code) {
    case ENOENT: return "NotFound";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case EISDIR: return "IsADirectory";
    case ENOTDIR: return "NotADirectory";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case ENOMEM: return "OutOfMemory";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ENAMETOOLONG: return "InvalidFilename";
    case ELOOP: return "FilesystemLoop";
    case ESPIPE: return "NotSeekable";
    case EAGAIN: return "WouldBlock";
    case EBUSY: return "ResourceBusy";
    case ETXTBSY: return "ExecutableFileBusy";
    case EROFS: return "ReadOnlyFilesystem";
    case EEXIST: return "AlreadyExists";
#ifdef ESTALE  // not on Windows
    case ESTALE: return "StaleNetworkFileHandle";
#endif
    case EXDEV: return "CrossesDevices";
    default: return "Uncategorized";
  }
}

std::string OsError::debug() const {
  return "Os { code: " + std::to_string(code) + ", kind: " + std::string(kind()) +
         ", message: " + debug_quote(std::strerror(code)) + " }";
}

std::string KolvaError::display() const {
  struct Visitor {
    std::string operator()(const Decoding& e) const { return "Decoding Error " + e.text; }
    std::string operator()(const IoError&) const { return "IO Error"; }
    std::string operator()(const LevelNotFound&) const { return "IO Error"; }
    std::string operator()(const TileNotFound&) const { return "IO Error"; }
    std::string operator()(const UnexpectedStep&) const { return "Internal Error"; }
    std::string operator()(const UnableToAllocateLargeSize&) const { return "Internal Error"; }
    std::string operator()(const UnknownFormat& e) const {
      return std::string("Unkown Slide Format ") + e.text;
    }
    std::string operator()(const JsError& e) const { return "JS Error " + e.text; }
    std::string operator()(const Jpeg2000DecodingError& e) const {
      return "JPEG 2000 Decoding Error " + e.text;
    }
    std::string operator()(const ImageError& e) const { return "Image Error " + e.text; }
    std::string operator()(const Panic& e) const { return e.message; }
  };
  return std::visit(Visitor{}, v_);
}

std::string KolvaError::debug() const {
  struct Visitor {
    std::string operator()(const Decoding& e) const { return "Decoding(" + debug_quote(e.text) + ")"; }
    std::string operator()(const IoError& e) const { return "IoError(" + e.error.debug() + ")"; }
    std::string operator()(const LevelNotFound& e) const {
      return "LevelNotFound { selected: " + std::to_string(e.selected) +
             ", num_level: " + std::to_string(e.num_level) + " }";
    }
    std::string operator()(const TileNotFound& e) const {
      return "TileNotFound { x: " + std::to_string(e.x) + ", y: " + std::to_string(e.y) +
             ", z: " + std::to_string(e.z) + " }";
    }
    std::string operator()(const UnexpectedStep&) const { return "UnexpectedStep"; }
    std::string operator()(const UnableToAllocateLargeSize&) const {
      return "UnableToAllocateLargeSize";
    }
    std::string operator()(const UnknownFormat& e) const {
      return "UnknownFormat(" + debug_quote(e.text) + ")";
    }
    std::string operator()(const JsError& e) const { return "JsError(" + debug_quote(e.text) + ")"; }
    std::string operator()(const Jpeg2000DecodingError& e) const {
      return "Jpeg2000DecodingError(" + debug_quote(e.text) + ")";
    }
    std::string operator()(const ImageError& e) const {
      return "ImageError(" + debug_quote(e.text) + ")";
    }
    std::string operator()(const Panic& e) const { return "Panic(" + debug_quote(e.message) + ")"; }
  };
  return std::visit(Visitor{}, v_);
}

std::string DecodeError::display() const {
  struct Visitor {
    std::string operator()(const Tiff& e) const { return "Tiff Error " + e.error.display(); }
    std::string operator()(const Ndpi& e) const { return std::string("NDPI Error ") + e.msg; }
    std::string operator()(const ReadTile& e) const {
      return std::string("ReadTile Error ") + e.msg;
    }
    std::string operator()(const Olympus& e) const {
      return std::string("Olympus Error ") + e.msg;
    }
  };
  return std::visit(Visitor{}, v_);
}

}  // namespace kolva
