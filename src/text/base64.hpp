#pragma once

// Base64 (RFC 4648, standard alphabet): ICC profiles written into properties,
// images embedded in vendor XML read back.

#include <optional>
#include <string>
#include <string_view>

#include "base/base.hpp"

namespace kolva::text {

// Padded base64 of `bytes`.
std::string base64_encode(ByteSpan bytes);

// The bytes of base64 as XML carries it: whitespace ignored, padding optional,
// the text ending at the first '='. Nothing for any other character.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace kolva::text
