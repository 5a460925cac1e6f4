// The shell: starting programs by verb, and the special folders.
#pragma once

#include "win32/types.h"

namespace win32 {

constexpr int CSIDL_DESKTOP = 0x0000;
constexpr int CSIDL_PROGRAMS = 0x0002;
constexpr int CSIDL_PERSONAL = 0x0005;
constexpr int CSIDL_STARTMENU = 0x000B;
constexpr int CSIDL_DESKTOPDIRECTORY = 0x0010;
constexpr int CSIDL_COMMON_STARTMENU = 0x0016;
constexpr int CSIDL_COMMON_PROGRAMS = 0x0017;
constexpr int CSIDL_COMMON_DESKTOPDIRECTORY = 0x0019;
constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_WINDOWS = 0x0024;
constexpr int CSIDL_SYSTEM = 0x0025;
constexpr int CSIDL_PROGRAM_FILES = 0x0026;
constexpr int CSIDL_PROGRAM_FILESX86 = 0x002A;
constexpr int CSIDL_FLAG_CREATE = 0x8000;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

struct ITEMIDLIST;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;
using PCIDLIST_ABSOLUTE = const ITEMIDLIST*;

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
HRESULT SHGetSpecialFolderLocation(HWND owner, int csidl, PIDLIST_ABSOLUTE* pidl);
BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path);
void ILFree(PIDLIST_ABSOLUTE pidl);
LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID block);

constexpr ULONG SEE_MASK_DEFAULT = 0x0;
constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x40;
constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x400;
constexpr ULONG SEE_MASK_NOASYNC = 0x100;

struct SHELLEXECUTEINFOW {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCWSTR lpVerb;
  LPCWSTR lpFile;
  LPCWSTR lpParameters;
  LPCWSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCWSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIconOrMonitor;
  HANDLE hProcess;
};

constexpr intptr_t SE_ERR_FNF = 2;
constexpr intptr_t SE_ERR_PNF = 3;
constexpr intptr_t SE_ERR_ACCESSDENIED = 5;
constexpr intptr_t SE_ERR_OOM = 8;
constexpr intptr_t SE_ERR_NOASSOC = 31;

// Starts a program: "open" (or no verb) as the caller, elevating when the program's
// manifest asks for it; "runas" always asks for elevation. The command line is the quoted
// program path, then a blank and the parameters. Elevation refused by the machine gives
// ERROR_CANCELLED. A result above 32 is success.
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int show);
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info);

}  // namespace win32
