// Display and debug texts of KolvaError, DecodeError and TiffError, and the
// quoting of texts inside debug renderings.

#include <cerrno>
#include <string>

#include "error/error.hpp"
#include "test_support.hpp"
#include "tiff_tools/error/error.hpp"

namespace kolva::test {
namespace {

using tiff_tools::DataType;
using tiff_tools::TiffError;

struct KolvaCase {
  std::string name;
  KolvaError error;
  std::string display;
  std::string debug;
};

class KolvaErrorText : public ::testing::TestWithParam<KolvaCase> {};

TEST_P(KolvaErrorText, DisplayAndDebug) {
  EXPECT_EQ(GetParam().error.display(), GetParam().display);
  EXPECT_EQ(GetParam().error.debug(), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, KolvaErrorText,
    ::testing::Values(
        KolvaCase{"Decoding", KolvaError::Decoding{"Olympus Error Failed to parse SIS header"},
                  "Decoding Error Olympus Error Failed to parse SIS header",
                  "Decoding(\"Olympus Error Failed to parse SIS header\")"},
        KolvaCase{"IoError", KolvaError::IoError{OsError{ENOENT}}, "IO Error",
                  "IoError(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })"},
        KolvaCase{"IoErrorPermission", KolvaError::IoError{OsError{EACCES}}, "IO Error",
                  "IoError(Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" })"},
        KolvaCase{"LevelNotFound", KolvaError::LevelNotFound{3, 2}, "IO Error",
                  "LevelNotFound { selected: 3, num_level: 2 }"},
        KolvaCase{"TileNotFound", KolvaError::TileNotFound{7, 1, 0}, "IO Error",
                  "TileNotFound { x: 7, y: 1, z: 0 }"},
        KolvaCase{"TileNotFoundMax", KolvaError::TileNotFound{~0ULL, 0, 0}, "IO Error",
                  "TileNotFound { x: 18446744073709551615, y: 0, z: 0 }"},
        KolvaCase{"UnexpectedStep", KolvaError::UnexpectedStep{}, "Internal Error", "UnexpectedStep"},
        KolvaCase{"UnableToAllocateLargeSize", KolvaError::UnableToAllocateLargeSize{},
                  "Internal Error", "UnableToAllocateLargeSize"},
        KolvaCase{"UnknownFormat", KolvaError::UnknownFormat{"x"}, "Unkown Slide Format x",
                  "UnknownFormat(\"x\")"},
        KolvaCase{"JsError", KolvaError::JsError{"js \"q\""}, "JS Error js \"q\"",
                  "JsError(\"js \\\"q\\\"\")"},
        KolvaCase{"Jpeg2000DecodingError", KolvaError::Jpeg2000DecodingError{"bad\ncodestream"},
                  "JPEG 2000 Decoding Error bad\ncodestream",
                  "Jpeg2000DecodingError(\"bad\\ncodestream\")"},
        KolvaCase{"ImageError", KolvaError::ImageError{"img"}, "Image Error img",
                  "ImageError(\"img\")"},
        KolvaCase{"Panic", KolvaError::Panic{"Invalid"}, "Invalid", "Panic(\"Invalid\")"}),
    ByName());

struct DecodeCase {
  std::string name;
  DecodeError error;
  std::string display;
};

class DecodeErrorText : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeErrorText, DisplayAndConversion) {
  const auto& c = GetParam();
  EXPECT_EQ(c.error.display(), c.display);
  const KolvaError converted = c.error;
  const auto* decoding = converted.get_if<KolvaError::Decoding>();
  ASSERT_NE(decoding, nullptr);
  EXPECT_EQ(decoding->text, c.display);
  EXPECT_EQ(converted.display(), "Decoding Error " + c.display);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DecodeErrorText,
    ::testing::Values(
        DecodeCase{"Tiff", DecodeError::Tiff{TiffError::DecodeCountError{"Failed to parse IFD count"}},
                   "Tiff Error Error During decodoing count Failed to parse IFD count"},
        DecodeCase{"Ndpi", DecodeError::Ndpi{"Width of Level is not divisibe by DRI size x 8"},
                   "NDPI Error Width of Level is not divisibe by DRI size x 8"},
        DecodeCase{"ReadTile", DecodeError::ReadTile{"no tile"}, "ReadTile Error no tile"},
        DecodeCase{"Olympus", DecodeError::Olympus{"Failed to parse SIS header"},
                   "Olympus Error Failed to parse SIS header"}),
    ByName());

struct QuoteCase {
  std::string name;
  std::string text;  // UTF-8
  std::string quoted;
};

class DebugQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(DebugQuote, Escapes) { EXPECT_EQ(debug_quote(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Texts, DebugQuote,
    ::testing::Values(
        QuoteCase{"Empty", "", "\"\""},
        QuoteCase{"Plain", "Cannot parse entry data-type", "\"Cannot parse entry data-type\""},
        QuoteCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        QuoteCase{"TabCrLf", "\t\r\n", "\"\\t\\r\\n\""},
        QuoteCase{"Nul", std::string("a\0b", 3), "\"a\\0b\""},
        QuoteCase{"Escape", "\x1b[0m", "\"\\u{1b}[0m\""},
        QuoteCase{"OtherControls", "\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        QuoteCase{"C1Start", "\xc2\x80", "\"\\u{80}\""},
        QuoteCase{"C1End", "\xc2\x9f", "\"\\u{9f}\""},
        QuoteCase{"NoBreakSpaceKept", "\xc2\xa0", "\"\xc2\xa0\""},
        QuoteCase{"LatinKept", "caf\xc3\xa9 \xc3\xbf \xc2\xb5", "\"caf\xc3\xa9 \xc3\xbf \xc2\xb5\""},
        QuoteCase{"SoftHyphen", "\xc2\xad", "\"\\u{ad}\""},
        QuoteCase{"SingleQuoteKept", "it's", "\"it's\""}),
    ByName());

struct TiffCase {
  std::string name;
  TiffError error;
  std::string display;
  std::string debug;
};

class TiffErrorText : public ::testing::TestWithParam<TiffCase> {};

TEST_P(TiffErrorText, DisplayDebugAndKolvaText) {
  const auto& c = GetParam();
  EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(c.error.debug(), c.debug);
  const KolvaError converted = DecodeError(DecodeError::Tiff{c.error});
  EXPECT_EQ(converted.debug(), "Decoding(" + debug_quote("Tiff Error " + c.display) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Variants, TiffErrorText,
    ::testing::Values(
        TiffCase{"DecodeDataError", TiffError::DecodeDataError{DataType::SHORT, 3, ""},
                 "Tiff Decode Data Error: target dt short, count 3, ",
                 "DecodeDataError { dt: SHORT, count: 3, msg: \"\" }"},
        TiffCase{"DecodeDataErrorLong8", TiffError::DecodeDataError{DataType::LONG8, 0, "m"},
                 "Tiff Decode Data Error: target dt long-8(u64), count 0, m",
                 "DecodeDataError { dt: LONG8, count: 0, msg: \"m\" }"},
        TiffCase{"DecodeCountError", TiffError::DecodeCountError{"Failed to parse IFD count"},
                 "Error During decodoing count Failed to parse IFD count",
                 "DecodeCountError { msg: \"Failed to parse IFD count\" }"},
        TiffCase{"DecodeEntryError", TiffError::DecodeEntryError{"Cannot parse entry data-type"},
                 "Error During decodoing entry Cannot parse entry data-type",
                 "DecodeEntryError { msg: \"Cannot parse entry data-type\" }"},
        TiffCase{"UnsupportedDataType", TiffError::UnsupportedDataType{DataType::IFD8, ""},
                 "Error During parsing ifd offset 8bit: ",
                 "UnsupportedDataType { dt: IFD8, msg: \"\" }"},
        TiffCase{"InvalidDecodingProcess", TiffError::InvalidDecodingProcess{"Buffer length overflow"},
                 "Error During decodoing entry Buffer length overflow",
                 "InvalidDecodingProcess(\"Buffer length overflow\")"},
        TiffCase{"ParseHeaderError", TiffError::ParseHeaderError{"hidden"},
                 "Error During decodoing entry", "ParseHeaderError(\"hidden\")"},
        TiffCase{"ParseIfdError", TiffError::ParseIfdError{"hidden"}, "Error During decodoing entry",
                 "ParseIfdError(\"hidden\")"}),
    ByName());

}  // namespace
}  // namespace kolva::test
