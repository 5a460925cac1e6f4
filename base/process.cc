#include "base/process.h"

#include <mutex>

#include "base/strings.h"
#include "win32/handles.h"
#include "win32/modules.h"
#include "win32/processes.h"
#include "win32/security.h"
#include "win32/toolhelp.h"

namespace Kx {
namespace {

constexpr char16_t kShellProcess[] = u"EXPLORER.EXE";

std::u16string Lowered(std::u16string_view text) {
  std::u16string s(text);
  ToLower(&s);
  return s;
}

// Walks a fresh snapshot until `visit` returns true; false when the snapshot failed.
template <typename Visit>
bool WalkProcesses(Visit visit) {
  win32::HANDLE snapshot = win32::CreateToolhelp32Snapshot(win32::TH32CS_SNAPPROCESS, 0);
  if (snapshot == win32::INVALID_HANDLE_VALUE) return false;
  win32::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (bool ok = win32::Process32FirstW(snapshot, &entry); ok;
       ok = win32::Process32NextW(snapshot, &entry)) {
    if (visit(entry)) break;
  }
  win32::CloseHandle(snapshot);
  return true;
}

using CreateProcessWithTokenFn = win32::BOOL (*)(win32::HANDLE, win32::DWORD, win32::LPCWSTR,
                                                 win32::LPWSTR, win32::DWORD, win32::LPVOID,
                                                 win32::LPCWSTR, win32::LPSTARTUPINFOW,
                                                 win32::LPPROCESS_INFORMATION);

}  // namespace

win32::DWORD FindProcessIdByName(std::u16string_view name) {
  std::u16string wanted = Lowered(name);
  win32::DWORD found = 0;
  WalkProcesses([&](const win32::PROCESSENTRY32W& entry) {
    if (Lowered(entry.szExeFile) != wanted) return false;
    found = entry.th32ProcessID;
    return true;
  });
  return found;
}

bool IsProcessRunning(std::u16string_view name) {
  std::u16string wanted = Lowered(name);
  bool running = false;
  WalkProcesses([&](const win32::PROCESSENTRY32W& entry) {
    running = Lowered(entry.szExeFile) == wanted;
    return running;
  });
  return running;
}

bool TerminateProcessByName(std::u16string_view name) {
  win32::DWORD id = FindProcessIdByName(name);
  if (!id) return false;
  win32::HANDLE process = win32::OpenProcess(win32::PROCESS_TERMINATE, win32::FALSE, id);
  if (!process) return false;
  bool terminated = win32::TerminateProcess(process, 1) != win32::FALSE;
  win32::CloseHandle(process);
  return terminated;
}

win32::HANDLE DuplicateProcessToken(win32::DWORD process_id) {
  win32::HANDLE process = win32::OpenProcess(win32::PROCESS_QUERY_INFORMATION, win32::FALSE, process_id);
  if (!process) return nullptr;
  win32::HANDLE token = nullptr, duplicate = nullptr;
  void* descriptor = nullptr;
  if (win32::OpenProcessToken(process, win32::TOKEN_ALL_ACCESS, &token)) {
    descriptor = win32::GlobalAlloc(win32::GMEM_ZEROINIT, win32::SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor && win32::InitializeSecurityDescriptor(descriptor, win32::SECURITY_DESCRIPTOR_REVISION) &&
        win32::SetSecurityDescriptorDacl(descriptor, win32::TRUE, nullptr, win32::FALSE)) {
      win32::SECURITY_ATTRIBUTES attributes{sizeof(win32::SECURITY_ATTRIBUTES), descriptor, win32::TRUE};
      if (!win32::DuplicateTokenEx(token, win32::TOKEN_ALL_ACCESS, &attributes,
                                   win32::SecurityImpersonation, win32::TokenPrimary, &duplicate))
        duplicate = nullptr;
    }
  }
  if (descriptor) win32::GlobalFree(descriptor);
  if (token) win32::CloseHandle(token);
  win32::CloseHandle(process);
  return duplicate;
}

bool StartProcessAsShellUser(std::u16string_view path, std::u16string_view command_line) {
  win32::HANDLE token = nullptr;
  if (win32::DWORD shell = FindProcessIdByName(kShellProcess)) token = DuplicateProcessToken(shell);
  win32::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = win32::STARTF_USESHOWWINDOW;
  startup.wShowWindow = win32::SW_SHOW;
  bool started = false;
  win32::HMODULE advapi = win32::LoadLibraryW(u"advapi32.dll");
  if (advapi) {
    static const CreateProcessWithTokenFn create = reinterpret_cast<CreateProcessWithTokenFn>(
        win32::GetProcAddress(advapi, "CreateProcessWithTokenW"));
    if (create) {
      std::u16string app(path), line(command_line);
      win32::PROCESS_INFORMATION info{};
      if (create(token, win32::LOGON_WITH_PROFILE, app.c_str(), line.data(), 0, nullptr, nullptr,
                 &startup, &info)) {
        win32::CloseHandle(info.hProcess);
        win32::CloseHandle(info.hThread);
        started = true;
      }
    }
  }
  if (token) win32::CloseHandle(token);
  return started;
}

std::u16string GetCurrentProcessName() {
  win32::DWORD own = win32::GetCurrentProcessId();
  std::u16string name;
  WalkProcesses([&](const win32::PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID != own) return false;
    name = entry.szExeFile;
    return true;
  });
  return name;
}

bool StartProcess(std::u16string_view path, const char16_t* arguments, bool wait, int timeout_ms) {
  std::u16string command_line;
  if (arguments && *arguments) {
    command_line = u"\"" + std::u16string(path) + u"\" " + arguments;
  } else {
    command_line = std::u16string(path);
  }
  win32::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  win32::PROCESS_INFORMATION info{};
  if (!win32::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, win32::TRUE, 0, nullptr,
                             nullptr, &startup, &info))
    return false;
  if (wait)
    win32::WaitForSingleObject(info.hProcess, timeout_ms > 0 ? static_cast<win32::DWORD>(timeout_ms)
                                                             : win32::INFINITE);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  return true;
}

}  // namespace Kx
