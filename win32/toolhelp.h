// Process snapshots: the pseudo processes first, then the live processes in start order.
#pragma once

#include "win32/types.h"

namespace win32 {

constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;

struct PROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
};
using LPPROCESSENTRY32W = PROCESSENTRY32W*;

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);

}  // namespace win32
