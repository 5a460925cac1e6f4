// Modules: the table of system modules and their exports, files loaded as modules, and
// the executable's own module.
#pragma once

#include "win32/types.h"

namespace win32 {

// A system module ("kernel32.dll", "Cryptdll.dll", ...) is found by name, with or without
// ".dll" or a System32 path; machine.json's "missing_exports" takes exports (or a whole
// module) away. Any other existing file loads as a module without exports and is in use
// while loaded.
HMODULE LoadLibraryW(LPCWSTR file_name);
// Null gives the executable's own module; otherwise only modules already loaded.
HMODULE GetModuleHandleW(LPCWSTR module_name);
FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);
BOOL FreeLibrary(HMODULE module);
// The path of the executable (null or own module) or of a loaded module. Truncates to
// size - 1 units plus NUL and fails with ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

}  // namespace win32
