// Base64 of byte strings: the standard alphabet, "=" padding, no line breaks.
#pragma once

#include <string>
#include <string_view>

namespace Kx {

std::string Base64Encode(std::string_view bytes);
// Decodes up to the first "=" or the first character outside the alphabet and ignores the
// rest; a single leftover character gives nothing.
std::string Base64Decode(std::string_view text);

}  // namespace Kx
