// The C runtime's wide-character text functions as the Windows CRT provides them, over
// 16-bit wide characters.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace win32 {

// Upper / lower case of one UTF-16 unit by the Unicode simple (1:1) case mapping; units
// whose mapping lies outside the BMP, surrogates and uncased units map to themselves.
// towupper(c) == FoldUnit(c) for every unit.
char16_t towupper(char16_t c);
char16_t towlower(char16_t c);

// Wide printf formatting, as the Windows CRT's _vsnwprintf with this contract:
//
// Result: when the whole output fits in count - 1 units, it is written followed by a NUL
// and its length in units (without the NUL) is returned. Otherwise -1 is returned and,
// when count > 0, the buffer holds the first count - 1 units and a NUL; errno is not
// changed. An invalid conversion, a null format, or a null buffer with count > 0 returns
// -1 with errno = EINVAL and (when count > 0) an empty buffer.
//
// Conversions: %[flags][width][.precision][length]type
//   flags      '-' left-justify, '+' sign always, ' ' blank for a missing sign, '0' pad
//              with zeros (also strings and characters, as the Windows CRT does), '#'
//              alternate form (0x / 0X / leading 0 / decimal point kept)
//   width, precision  decimal digits or '*' (an int argument; a negative width means '-',
//              a negative precision none)
//   length     h, hh, l, ll, I64, I32, I, z, j, t, L, w. As on Windows, "l" is 32 bits:
//              %ld and %lu take a 32-bit int. I64 and ll take 64 bits; I, z and t take
//              pointer-sized values; L is long double; w is the same as l.
//   s  wide string (const char16_t*); null prints "(null)". hs / S: narrow string
//      (const char*), each byte taken as the unit of the same value; ls / ws: wide.
//   c  wide character (char16_t, passed as int); hc / C: narrow character.
//   d i  signed decimal; u unsigned decimal; o octal; x X hexadecimal.
//   p  pointer as 2 * sizeof(void*) upper-case hexadecimal digits.
//   e E f F g G a A  double, formatted as the host's printf does.
//   %  a percent sign.
// %n and every other conversion character are invalid.
int vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
int snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...);

}  // namespace win32
