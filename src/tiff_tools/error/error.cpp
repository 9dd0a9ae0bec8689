#include "tiff_tools/error/error.hpp"

#include "error/error.hpp"

namespace kolva::tiff_tools {

std::string TiffError::display() const {
  struct Visitor {
    std::string operator()(const DecodeDataError& e) const {
      return "Tiff Decode Data Error: target dt " + std::string(display_text(e.dt)) + ", count " +
             std::to_string(e.count) + ", " + e.msg;
    }
    std::string operator()(const DecodeCountError& e) const {
      return std::string("Error During decodoing count ") + e.msg;
    }
    std::string operator()(const DecodeEntryError& e) const {
      return std::string("Error During decodoing entry ") + e.msg;
    }
    std::string operator()(const UnsupportedDataType& e) const {
      return "Error During parsing " + std::string(display_text(e.dt)) + ": " + e.msg;
    }
    std::string operator()(const InvalidDecodingProcess& e) const {
      return std::string("Error During decodoing entry ") + e.msg;
    }
    std::string operator()(const ParseHeaderError&) const { return "Error During decodoing entry"; }
    std::string operator()(const ParseIfdError&) const { return "Error During decodoing entry"; }
  };
  return std::visit(Visitor{}, v_);
}

std::string TiffError::debug() const {
  struct Visitor {
    std::string operator()(const DecodeDataError& e) const {
      return "DecodeDataError { dt: " + std::string(debug_text(e.dt)) +
             ", count: " + std::to_string(e.count) + ", msg: " + debug_quote(e.msg) + " }";
    }
    std::string operator()(const DecodeCountError& e) const {
      return "DecodeCountError { msg: " + debug_quote(e.msg) + " }";
    }
    std::string operator()(const DecodeEntryError& e) const {
      return "DecodeEntryError { msg: " + debug_quote(e.msg) + " }";
    }
    std::string operator()(const UnsupportedDataType& e) const {
      return "UnsupportedDataType { dt: " + std::string(debug_text(e.dt)) +
             ", msg: " + debug_quote(e.msg) + " }";
    }
    std::string operator()(const InvalidDecodingProcess& e) const {
      return "InvalidDecodingProcess(" + debug_quote(e.msg) + ")";
    }
    std::string operator()(const ParseHeaderError& e) const {
      return "ParseHeaderError(" + debug_quote(e.msg) + ")";
    }
    std::string operator()(const ParseIfdError& e) const {
      return "ParseIfdError(" + debug_quote(e.msg) + ")";
    }
  };
  return std::visit(Visitor{}, v_);
}

}  // namespace kolva::tiff_tools
