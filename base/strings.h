// Text conversions between UTF-16, UTF-8 and the ANSI code page, and the small wide-text
// helpers: formatting, trimming, case, comparison, replacement, substrings, numbers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "win32/types.h"

namespace Kx {

// The character sets that the program trims with.
inline constexpr char16_t kWhiteSpaceSet[] = u" \r\t\n";
inline constexpr char16_t kSlashSet[] = u"\\/";

// UTF-8 bytes to UTF-16, up to the first zero unit of the result. False, with *out
// untouched, for a null pointer, a zero size or a failed conversion.
bool Utf8ToWide(const char* data, size_t size, std::u16string* out);
// UTF-16 units to UTF-8, up to the first zero byte of the result. A leading byte-order
// mark chooses the source encoding and is kept. False, with *out untouched, for a null
// pointer, a zero size or a failed conversion (a text starting with U+FEFF U+0000).
bool WideToUtf8(const char16_t* data, size_t size, std::string* out);

// Byte text in a code page (0: the ANSI code page) to UTF-16; empty on failure.
std::u16string AnsiToWide(std::string_view text, win32::UINT code_page = 0);
// The same for size bytes at data; a negative size means up to the terminating NUL.
// Mind the overloads: AnsiToWide("text", 1252) picks this one with size 1252; pass a
// std::string_view to give a code page.
std::u16string AnsiToWide(const char* data, int size, win32::UINT code_page = 0);
// UTF-16 to a code page (0: the ANSI code page). Characters the page cannot represent
// become "_" (not for UTF-7 and UTF-8, which represent everything). Empty on failure.
std::string WideToAnsi(std::u16string_view text, win32::UINT code_page = 0);

// printf-style wide formatting (win32::vsnwprintf) into *destination, replacing its
// content. A null or empty format leaves it as it was; an invalid conversion empties it.
void FormatString(std::u16string* destination, const char16_t* format, ...);
void FormatStringV(std::u16string* destination, const char16_t* format, va_list args);

// Remove the leading / trailing / both runs of characters found in set, in place. A null
// text or set changes nothing.
void TrimLeft(std::u16string* text, const char16_t* set);
void TrimRight(std::u16string* text, const char16_t* set);
void Trim(std::u16string* text, const char16_t* set);

// A copy with every run of spaces (U+0020) reduced to one, trimmed with kWhiteSpaceSet.
std::u16string CollapseSpaces(std::u16string_view text);

// Case mapping of every unit in place (win32::towlower / win32::towupper).
void ToLower(std::u16string* text);
void ToUpper(std::u16string* text);

// Compares unit by unit after win32::towupper, stopping after a terminator unit (a
// shorter text reads as followed by zeros). The difference of the first differing
// upper-cased pair, 0 when equal. A null pointer reads as the empty text.
int CompareNoCase(const char16_t* a, const char16_t* b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);
// The same over bytes, folding ASCII letters only.
int CompareNoCase(std::string_view a, std::string_view b);

// Replaces every occurrence of pattern, left to right, never rescanning inserted text. A
// null or empty pattern or a null replacement changes nothing.
void ReplaceAll(std::u16string* text, const char16_t* pattern, const char16_t* replacement);
void ReplaceAll(std::u16string* text, std::u16string_view pattern, std::u16string_view replacement);

// The first min(n, length) units; empty for a negative n.
std::u16string Left(std::u16string_view text, int n);
// count units from start, or up to the end; empty when start is negative or not below the
// length, or count is negative.
std::u16string Mid(std::u16string_view text, int start, int count);

std::u16string IntToString(int32_t value);
std::u16string UIntToString(uint32_t value);
std::u16string UInt64ToString(uint64_t value);
// Exactly 8 upper-case hexadecimal digits.
std::u16string ToHex8(uint32_t value);

// Leading ASCII digits as an unsigned 64-bit value (wrapping on overflow). *end gets the
// first unit that is not a digit. No sign or white space is skipped: "-5" gives 0.
uint64_t ParseUInt64(const char16_t* text, const char16_t** end = nullptr);

}  // namespace Kx
