// Basic Windows types, handles and limits used across the win32 stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win32 {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using INT = int32_t;
using BOOL = int32_t;
using BOOLEAN = uint8_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD64 = uint64_t;
using DWORDLONG = uint64_t;
using SIZE_T = size_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using UINT_PTR = uintptr_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LSTATUS = LONG;
using HRESULT = LONG;
using WCHAR = char16_t;
using CHAR = char;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Every kernel object (file search, process, thread, event, mutex, token, snapshot, pipe)
// is a HANDLE: a pointer to an object of the stand-in, closed with CloseHandle.
using HANDLE = void*;
using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;
using HKEY = struct HKEY__*;
using HWND = struct HWND__*;
using FARPROC = void (*)();

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

constexpr DWORD MAX_PATH = 260;
constexpr DWORD INFINITE = 0xFFFFFFFF;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

}  // namespace win32
