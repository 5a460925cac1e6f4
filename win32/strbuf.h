// Returning a string into a caller's buffer the way Windows functions do.
#pragma once

#include <string_view>

#include "win32/errors.h"
#include "win32/types.h"

namespace win32 {

// GetTempPathW style: fits -> copies with NUL and returns the length; does not fit ->
// returns the size needed including the NUL and writes nothing.
inline DWORD ReturnString(std::u16string_view text, LPWSTR buffer, DWORD length) {
  if (buffer && length > text.size()) {
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
  }
  return static_cast<DWORD>(text.size() + 1);
}

// GetModuleFileNameW style: truncates to length - 1 units plus NUL and reports
// ERROR_INSUFFICIENT_BUFFER, returning length.
inline DWORD ReturnStringTruncated(std::u16string_view text, LPWSTR buffer, DWORD length) {
  if (!buffer || length == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() < length) {
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(text.size());
  }
  text.substr(0, length - 1).copy(buffer, length - 1);
  buffer[length - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return length;
}

}  // namespace win32
