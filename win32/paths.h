// Mapping between Windows paths and the host files of the machine: C:\ is
// <machine>/drive_c, Z:\ is the host's /. Names are case-insensitive and case-preserving.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "win32/types.h"

namespace win32 {

// The full form of a path as GetFullPathNameW gives it: separators made backslashes,
// "\\?\" dropped, relative paths joined to the current directory, "." and ".." resolved,
// trailing dots and blanks of components removed. False (with the error) for a path that
// cannot name a file: empty, a network path, an invalid character.
bool FullWindowsPath(std::u16string_view path, std::u16string* full, DWORD* error);

// The host path of a Windows path. Each component is taken exactly when it exists, else
// found by a case-insensitive scan of its folder, else kept as given (for a name to be
// created). False (with ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ...) when there is no
// such drive or the path is invalid.
bool HostPathOf(std::u16string_view path, std::string* host, DWORD* error);

// The Windows path of a host path: inside a drive of the machine its letter, else Z:.
std::u16string WindowsPathOf(const std::string& host_path);

// The drive letter (upper case) of a full Windows path, 0 when none.
char16_t DriveLetterOf(std::u16string_view full_path);

// Splits a full path into its components after the drive ("C:\a\b" -> {"a", "b"}).
std::vector<std::u16string> PathComponents(std::u16string_view full_path);

}  // namespace win32
