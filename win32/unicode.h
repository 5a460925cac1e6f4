// UTF-8/UTF-16 conversion and the 1:1 upper-case folding of UTF-16 units that the
// stand-in uses for case-insensitive names (files, registry, processes, objects).
#pragma once

#include <string>
#include <string_view>

namespace win32 {

// Lossless for valid input; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);

// Upper-cases each UTF-16 unit on its own (surrogates unchanged), as Windows folds names.
char16_t FoldUnit(char16_t unit);
std::u16string Fold(std::u16string_view text);
std::string FoldUtf8(std::string_view utf8);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

// Length of a NUL-terminated wide string.
size_t WideLength(const char16_t* text);

}  // namespace win32
