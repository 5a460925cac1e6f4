// Resources linked into an executable: the skin package, the version, the manifest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "win32/types.h"

namespace win32 {

using HRSRC = struct HRSRC__*;
using HGLOBAL = void*;

inline LPCWSTR MAKEINTRESOURCEW(uintptr_t id) { return reinterpret_cast<LPCWSTR>(id); }
inline bool IS_INTRESOURCE(LPCWSTR p) { return reinterpret_cast<uintptr_t>(p) < 0x10000; }
inline const LPCWSTR RT_VERSION = MAKEINTRESOURCEW(16);
inline const LPCWSTR RT_MANIFEST = MAKEINTRESOURCEW(24);

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// What the process model needs to know of an executable file before starting it.
struct ImageFacts {
  bool executable = false;      // a program the host can run
  bool requires_admin = false;  // the manifest asks for requireAdministrator
  int bits = 0;                 // 32 or 64 as the image declares; 0 when it does not
};
ImageFacts ReadImageFacts(const std::string& host_path);

// One resource of an executable file on the host ("#24" style for numeric ids).
std::optional<std::string> ReadFileResource(const std::string& host_path, std::string_view type,
                                            std::string_view name);

}  // namespace win32
