#include "win32/shell.h"

#include <cstdlib>
#include <cstring>

#include "win32/desktop.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/process_spawn.h"
#include "win32/processes.h"
#include "win32/strbuf.h"
#include "win32/unicode.h"

namespace win32 {

struct ITEMIDLIST {
  char16_t path[MAX_PATH];
};

namespace {

bool FolderOf(int csidl, std::u16string* folder) {
  const ProcessSelf& self = CurrentProcess();
  std::u16string profile = UserProfileDir(self.user);
  Machine* machine = CurrentMachine();
  bool x64 = machine && machine->Is64Bit();
  switch (csidl & 0xFF) {
    case CSIDL_DESKTOP:
    case CSIDL_DESKTOPDIRECTORY: *folder = profile + u"\\Desktop"; return true;
    case CSIDL_PERSONAL: *folder = profile + u"\\Documents"; return true;
    case CSIDL_APPDATA: *folder = profile + u"\\AppData\\Roaming"; return true;
    case CSIDL_LOCAL_APPDATA: *folder = profile + u"\\AppData\\Local"; return true;
    case CSIDL_STARTMENU: *folder = profile + u"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"; return true;
    case CSIDL_PROGRAMS:
      *folder = profile + u"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
      return true;
    case CSIDL_COMMON_STARTMENU: *folder = u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"; return true;
    case CSIDL_COMMON_PROGRAMS:
      *folder = u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
      return true;
    case CSIDL_COMMON_DESKTOPDIRECTORY: *folder = u"C:\\Users\\Public\\Desktop"; return true;
    case CSIDL_COMMON_APPDATA: *folder = u"C:\\ProgramData"; return true;
    case CSIDL_WINDOWS: *folder = u"C:\\Windows"; return true;
    case CSIDL_SYSTEM: *folder = u"C:\\Windows\\System32"; return true;
    case CSIDL_PROGRAM_FILES:
      *folder = (x64 && self.bits == 32) ? u"C:\\Program Files (x86)" : u"C:\\Program Files";
      return true;
    case CSIDL_PROGRAM_FILESX86:
      if (!x64) return false;
      *folder = u"C:\\Program Files (x86)";
      return true;
    default: return false;
  }
}

bool EnsureFolder(const std::u16string& folder) {
  DWORD a = GetFileAttributesW(folder.c_str());
  if (a != INVALID_FILE_ATTRIBUTES) return (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // Create the missing parents first.
  for (size_t i = 3; i < folder.size(); ++i)
    if (folder[i] == u'\\') CreateDirectoryW(folder.substr(0, i).c_str(), nullptr);
  return CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
}

void LogExecution(LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, bool ok,
                  DWORD error, DWORD process) {
  Json::Value entry;
  entry["kind"] = "shell_execute";
  entry["verb"] = verb ? ToUtf8(verb) : "";
  entry["file"] = file ? ToUtf8(file) : "";
  entry["parameters"] = parameters ? ToUtf8(parameters) : "";
  entry["directory"] = directory ? ToUtf8(directory) : "";
  entry["ok"] = ok;
  if (ok) entry["started"] = process;
  else entry["error"] = error;
  AppendDesktopLog(entry);
}

// The shared part of ShellExecuteW and ShellExecuteExW; the last error tells a failure.
bool Execute(LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
             PROCESS_INFORMATION* info) {
  auto fail = [](DWORD e) {
    SetLastError(e);
    return false;
  };
  if (!file || !*file) return fail(ERROR_FILE_NOT_FOUND);
  std::u16string v = verb ? Fold(verb) : u"";
  bool runas = v == u"RUNAS";
  if (!v.empty() && v != u"OPEN" && !runas) return fail(ERROR_NO_ASSOCIATION);
  SpawnRequest request;
  if (!ResolveProgram(file, &request.image)) return fail(ERROR_FILE_NOT_FOUND);
  if (request.image.size() < 4 || Fold(request.image.substr(request.image.size() - 4)) != u".EXE")
    return fail(ERROR_NO_ASSOCIATION);
  request.command_line = u"\"" + request.image + u"\"";
  if (parameters && *parameters) request.command_line += u" " + std::u16string(parameters);
  if (directory && *directory) request.directory = directory;
  const ProcessSelf& self = CurrentProcess();
  request.parent = self.id;
  request.elevated = self.elevated;
  bool prompt = runas || (!self.elevated && ImageRequiresAdmin(request.image));
  if (prompt && !self.offline) {
    Machine* machine = CurrentMachine();
    if (!machine || !machine->AcceptsElevation()) return fail(ERROR_CANCELLED);
    request.elevated = true;
  }
  return Spawn(request, info);
}

}  // namespace

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
  std::u16string folder;
  if (!path || !FolderOf(csidl, &folder)) return FALSE;
  if (create && !EnsureFolder(folder)) return FALSE;
  if (folder.size() >= MAX_PATH) return FALSE;
  ReturnString(folder, path, MAX_PATH);
  return TRUE;
}

HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE, DWORD, LPWSTR path) {
  std::u16string folder;
  if (!path || !FolderOf(csidl, &folder)) return E_INVALIDARG;
  if ((csidl & CSIDL_FLAG_CREATE) && !EnsureFolder(folder)) return E_FAIL;
  if (folder.size() >= MAX_PATH) return E_FAIL;
  ReturnString(folder, path, MAX_PATH);
  return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES ? S_FALSE : S_OK;
}

HRESULT SHGetSpecialFolderLocation(HWND, int csidl, PIDLIST_ABSOLUTE* pidl) {
  if (!pidl) return E_INVALIDARG;
  *pidl = nullptr;
  std::u16string folder;
  if (!FolderOf(csidl, &folder) || folder.size() >= MAX_PATH) return E_INVALIDARG;
  auto* item = static_cast<ITEMIDLIST*>(CoTaskMemAlloc(sizeof(ITEMIDLIST)));
  if (!item) return E_FAIL;
  ReturnString(folder, item->path, MAX_PATH);
  *pidl = item;
  return S_OK;
}

BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) {
  if (!pidl || !path) return FALSE;
  ReturnString(pidl->path, path, MAX_PATH);
  return TRUE;
}

void ILFree(PIDLIST_ABSOLUTE pidl) { CoTaskMemFree(pidl); }

LPVOID CoTaskMemAlloc(SIZE_T size) { return std::malloc(size ? size : 1); }

void CoTaskMemFree(LPVOID block) { std::free(block); }

HINSTANCE ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                        int) {
  PROCESS_INFORMATION info{};
  bool ok = Execute(verb, file, parameters, directory, &info);
  DWORD error = GetLastError();
  LogExecution(verb, file, parameters, directory, ok, error, info.dwProcessId);
  if (ok) {
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
  }
  SetLastError(error);
  intptr_t code = error == ERROR_FILE_NOT_FOUND   ? SE_ERR_FNF
                  : error == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF
                  : error == ERROR_NO_ASSOCIATION ? SE_ERR_NOASSOC
                  : error == ERROR_NOT_ENOUGH_MEMORY    ? SE_ERR_OOM
                                                        : SE_ERR_ACCESSDENIED;
  return reinterpret_cast<HINSTANCE>(code);
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PROCESS_INFORMATION pi{};
  bool ok = Execute(info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory, &pi);
  DWORD error = GetLastError();
  LogExecution(info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory, ok, error,
               pi.dwProcessId);
  info->hProcess = nullptr;
  if (!ok) {
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(SE_ERR_ACCESSDENIED));
    SetLastError(error);
    return FALSE;
  }
  CloseHandle(pi.hThread);
  if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
    info->hProcess = pi.hProcess;
  } else {
    CloseHandle(pi.hProcess);
  }
  info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace win32
