// Code pages: MultiByteToWideChar, WideCharToMultiByte and the process code pages.
//
// Supported pages: 65001 (UTF-8), 65000 (UTF-7), the double-byte pages 932, 936, 949,
// 950 and 54936 (GB18030), and the single-byte pages 437, 737, 775, 850, 852, 855, 857,
// 858, 862, 866, 874, 1250-1258 and 28591. The host's iconv converters supply the tables.
// UTF-16 (1200, 1201) is not a page of these two functions, as on Windows.
//
// Differences from Windows, kept small on purpose:
// - No best-fit mapping: a character a page cannot represent always becomes the default
//   character, as if WC_NO_BEST_FIT_CHARS were given.
// - MB_COMPOSITE, MB_USEGLYPHCHARS, WC_COMPOSITECHECK, WC_DISCARDNS and WC_SEPCHARS are
//   accepted and have no effect.
// - Undefined bytes 0x80-0x9F of a single-byte page map to U+0080-U+009F (as 1252 does
//   on Windows); other undefined bytes are invalid.
#pragma once

#include "win32/errors.h"
#include "win32/types.h"

namespace win32 {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_MACCP = 2;  // not supported: fails with ERROR_INVALID_PARAMETER
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF7 = 65000;
constexpr UINT CP_UTF8 = 65001;

// MultiByteToWideChar flags.
constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_COMPOSITE = 0x00000002;
constexpr DWORD MB_USEGLYPHCHARS = 0x00000004;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// WideCharToMultiByte flags.
constexpr DWORD WC_DISCARDNS = 0x00000010;
constexpr DWORD WC_SEPCHARS = 0x00000020;
constexpr DWORD WC_DEFAULTCHAR = 0x00000040;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;
constexpr DWORD WC_COMPOSITECHECK = 0x00000200;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;

// Error codes of this family (not yet in win32/errors.h).

// The ANSI code page of the machine ("ansi_code_page" of machine.json, default 936);
// 936 when no machine can be opened.
UINT GetACP();
// The OEM code page that Windows pairs with the ANSI page (936 -> 936, 1252 -> 437, ...).
UINT GetOEMCP();
// TRUE for a supported code page number. CP_ACP, CP_OEMCP, 1200 and 1201 are not.
BOOL IsValidCodePage(UINT code_page);

// Converts cbMultiByte bytes (negative: up to and including the NUL) to UTF-16. With
// cchWideChar == 0 returns the units needed. Returns the units written, or 0 with:
//   ERROR_INVALID_PARAMETER     null source, cbMultiByte == 0, cchWideChar < 0, a null
//                               buffer with cchWideChar != 0, an unsupported code page
//   ERROR_INVALID_FLAGS         flags the page does not take (UTF-7: none; UTF-8 and
//                               54936: only MB_ERR_INVALID_CHARS)
//   ERROR_NO_UNICODE_TRANSLATION  invalid input with MB_ERR_INVALID_CHARS
//   ERROR_INSUFFICIENT_BUFFER   the output does not fit (the buffer holds its start)
// Without MB_ERR_INVALID_CHARS invalid input becomes U+FFFD (UTF-8, UTF-7) or U+003F.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// Converts cchWideChar units (negative: up to and including the NUL) to the code page.
// With cbMultiByte == 0 returns the bytes needed. Characters the page cannot represent
// (and unpaired surrogates) become the first byte of lpDefaultChar, or '?' when it is
// null, and set *lpUsedDefaultChar (which is otherwise set to FALSE). For UTF-8 an unpaired
// surrogate becomes U+FFFD. Returns the bytes written, or 0 with:
//   ERROR_INVALID_PARAMETER     as for MultiByteToWideChar, and a non-null lpDefaultChar
//                               or lpUsedDefaultChar with CP_UTF7 or CP_UTF8
//   ERROR_INVALID_FLAGS         flags the page does not take (UTF-7: none; UTF-8 and
//                               54936: only WC_ERR_INVALID_CHARS; others: not it)
//   ERROR_NO_UNICODE_TRANSLATION  an unpaired surrogate with WC_ERR_INVALID_CHARS
//   ERROR_INSUFFICIENT_BUFFER   the output does not fit (the buffer holds its start)
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar);

}  // namespace win32
