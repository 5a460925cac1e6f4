#include "win32/modules.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "win32/crypt.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/security.h"
#include "win32/strbuf.h"
#include "win32/sysinfo.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

struct Export {
  const char* name;
  FARPROC proc;
};

struct SystemModule {
  const char16_t* name;
  std::vector<Export> exports;
};

template <typename F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

// The system modules and the exports the program looks up by name. Add a line here when a
// caller needs GetProcAddress for a function of the stand-in.
const std::vector<SystemModule>& SystemModules() {
  static const std::vector<SystemModule>* modules = new std::vector<SystemModule>{
      {u"kernel32.dll",
       {{"GlobalMemoryStatusEx", Proc(GlobalMemoryStatusEx)},
        {"GetNativeSystemInfo", Proc(GetNativeSystemInfo)}}},
      {u"ntdll.dll", {{"RtlGetNtVersionNumbers", Proc(RtlGetNtVersionNumbers)}}},
      {u"advapi32.dll",
       {{"CreateProcessWithTokenW", Proc(&CreateProcessWithTokenW)},
        {"OpenProcessToken", Proc(&OpenProcessToken)},
        {"DuplicateTokenEx", Proc(&DuplicateTokenEx)}}},
      {u"user32.dll", {}},
      {u"shell32.dll", {}},
      {u"shlwapi.dll", {}},
      {u"ole32.dll", {}},
      {u"iphlpapi.dll", {{"GetAdaptersAddresses", Proc(GetAdaptersAddresses)}}},
      {u"cryptdll.dll",
       {{"MD5Init", Proc(&MD5Init)},
        {"MD5Update", Proc(&MD5Update)},
        {"MD5Final", Proc(&MD5Final)}}},
  };
  return *modules;
}

// Module handles: the executable, the system modules by index, loaded files by slot.
constexpr uintptr_t kOwnModule = 0x400000;
constexpr uintptr_t kSystemBase = 0x70000000;
constexpr uintptr_t kFileBase = 0x10000000;
constexpr uintptr_t kStride = 0x10000;

struct LoadedFile {
  std::u16string path;
  int count = 0;
};

std::mutex g_files_mutex;
std::vector<LoadedFile>* g_files = new std::vector<LoadedFile>();

std::u16string BaseName(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// The index of a system module named by a file name or path, -1 when it is not one.
int SystemModuleIndex(std::u16string_view name) {
  std::u16string base = BaseName(name);
  if (base.find(u'.') == std::u16string::npos) base += u".dll";
  const auto& modules = SystemModules();
  for (size_t i = 0; i < modules.size(); ++i)
    if (EqualsNoCase(base, modules[i].name)) return static_cast<int>(i);
  return -1;
}

bool ModuleMissing(int index) {
  Machine* m = CurrentMachine();
  return m && m->IsExportMissing(ToUtf8(SystemModules()[index].name), "");
}

void PublishFiles() {
  std::vector<std::u16string> paths;
  for (const LoadedFile& f : *g_files)
    if (f.count > 0) paths.push_back(f.path);
  proctable::SetModules(CurrentProcess().id, paths);
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR file_name) {
  if (!file_name || !*file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int index = SystemModuleIndex(file_name);
  if (index >= 0) {
    if (ModuleMissing(index)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<HMODULE>(kSystemBase + kStride * static_cast<uintptr_t>(index));
  }
  std::u16string full;
  DWORD error = ERROR_SUCCESS;
  if (!FullWindowsPath(file_name, &full, &error)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_files_mutex);
  size_t slot = g_files->size();
  for (size_t i = 0; i < g_files->size(); ++i) {
    if (EqualsNoCase((*g_files)[i].path, full) && (*g_files)[i].count > 0) {
      slot = i;
      break;
    }
  }
  if (slot == g_files->size()) {
    for (size_t i = 0; i < g_files->size(); ++i)
      if ((*g_files)[i].count == 0) slot = i;
    if (slot == g_files->size()) g_files->emplace_back();
    (*g_files)[slot] = LoadedFile{full, 0};
  }
  if ((*g_files)[slot].count++ == 0) PublishFiles();
  return reinterpret_cast<HMODULE>(kFileBase + kStride * slot);
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  if (!module_name) return reinterpret_cast<HMODULE>(kOwnModule);
  int index = SystemModuleIndex(module_name);
  if (index >= 0 && !ModuleMissing(index))
    return reinterpret_cast<HMODULE>(kSystemBase + kStride * static_cast<uintptr_t>(index));
  std::u16string base = BaseName(module_name);
  std::lock_guard<std::mutex> lock(g_files_mutex);
  for (size_t i = 0; i < g_files->size(); ++i)
    if ((*g_files)[i].count > 0 && EqualsNoCase(BaseName((*g_files)[i].path), base))
      return reinterpret_cast<HMODULE>(kFileBase + kStride * i);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name) {
  uintptr_t value = reinterpret_cast<uintptr_t>(module);
  if (!proc_name || reinterpret_cast<uintptr_t>(proc_name) < 0x10000 || value < kSystemBase) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  size_t index = (value - kSystemBase) / kStride;
  const auto& modules = SystemModules();
  if (index >= modules.size() || (value - kSystemBase) % kStride) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Machine* m = CurrentMachine();
  for (const Export& e : modules[index].exports) {
    if (std::string_view(e.name) != proc_name) continue;
    if (m && m->IsExportMissing(ToUtf8(modules[index].name), proc_name)) break;
    return e.proc;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  uintptr_t value = reinterpret_cast<uintptr_t>(module);
  if (value >= kSystemBase) return TRUE;  // system modules stay loaded
  if (value < kFileBase || (value - kFileBase) % kStride) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size_t slot = (value - kFileBase) / kStride;
  std::lock_guard<std::mutex> lock(g_files_mutex);
  if (slot >= g_files->size() || (*g_files)[slot].count == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--(*g_files)[slot].count == 0) PublishFiles();
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  uintptr_t value = reinterpret_cast<uintptr_t>(module);
  std::u16string path;
  if (!module || value == kOwnModule) {
    path = CurrentProcess().image_path;
  } else if (value >= kSystemBase) {
    size_t index = (value - kSystemBase) / kStride;
    if (index >= SystemModules().size()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = std::u16string(u"C:\\Windows\\System32\\") + SystemModules()[index].name;
  } else {
    size_t slot = (value - kFileBase) / kStride;
    std::lock_guard<std::mutex> lock(g_files_mutex);
    if (value < kFileBase || slot >= g_files->size() || (*g_files)[slot].count == 0) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = (*g_files)[slot].path;
  }
  return ReturnStringTruncated(path, file_name, size);
}

}  // namespace win32
