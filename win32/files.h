// Files and folders of the machine's drives, with Windows semantics: case-insensitive
// names, the read-only attribute enforced, links shown as reparse points, files in use by
// live machine processes protected from deletion.
#pragma once

#include "win32/types.h"

namespace win32 {

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_ATTRIBUTE_COMPRESSED = 0x800;
constexpr DWORD FILE_ATTRIBUTE_ENCRYPTED = 0x4000;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

DWORD GetFileAttributesW(LPCWSTR file_name);
// Only FILE_ATTRIBUTE_READONLY is kept; the other settable attributes are accepted.
BOOL SetFileAttributesW(LPCWSTR file_name, DWORD attributes);

// "dir\*.*", "dir\*", "dir\name" or wildcard patterns with * and ?; "." and ".." come
// first for folders other than a drive root. Names longer than MAX_PATH - 1 are skipped.
HANDLE FindFirstFileW(LPCWSTR file_name, LPWIN32_FIND_DATAW find_data);
BOOL FindNextFileW(HANDLE find_file, LPWIN32_FIND_DATAW find_data);
BOOL FindClose(HANDLE find_file);

BOOL CreateDirectoryW(LPCWSTR path_name, LPSECURITY_ATTRIBUTES security);
// A link (junction, symbolic link) is removed itself, never what it points to.
BOOL RemoveDirectoryW(LPCWSTR path_name);
BOOL DeleteFileW(LPCWSTR file_name);
// Writes through a link at the target name, as Windows does; callers that must not use
// an existing name pass fail_if_exists.
BOOL CopyFileW(LPCWSTR existing_file_name, LPCWSTR new_file_name, BOOL fail_if_exists);
BOOL MoveFileW(LPCWSTR existing_file_name, LPCWSTR new_file_name);
// MOVEFILE_DELAY_UNTIL_REBOOT records the operation in the Session Manager's
// PendingFileRenameOperations (an elevated process only); a null new name deletes.
BOOL MoveFileExW(LPCWSTR existing_file_name, LPCWSTR new_file_name, DWORD flags);

DWORD GetTempPathW(DWORD buffer_length, LPWSTR buffer);
DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD buffer_length);
DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD buffer_length);
DWORD GetFullPathNameW(LPCWSTR file_name, DWORD buffer_length, LPWSTR buffer, LPWSTR* file_part);
DWORD GetCurrentDirectoryW(DWORD buffer_length, LPWSTR buffer);
BOOL SetCurrentDirectoryW(LPCWSTR path_name);
BOOL PathFileExistsW(LPCWSTR path);

}  // namespace win32
