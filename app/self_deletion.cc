#include "app/self_deletion.h"

#include <atomic>
#include <string>

#include "base/path.h"
#include "win32/files.h"
#include "win32/modules.h"
#include "win32/registry.h"

namespace Kx {
namespace {

constexpr char16_t kPersistedKey[] =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
    u"Assistant\\Persisted";

std::atomic<win32::HINSTANCE> g_instance{nullptr};

}  // namespace

void SetModuleInstance(win32::HINSTANCE instance) { g_instance = instance; }

win32::HINSTANCE GetModuleInstance() { return g_instance; }

void WriteCompatibilityAssistantMark() {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(win32::HKEY_CURRENT_USER, kPersistedKey, 0, win32::KEY_ALL_ACCESS,
                           &key) != win32::ERROR_SUCCESS)
    return;
  char16_t path[win32::MAX_PATH] = {0};
  win32::DWORD n = win32::GetModuleFileNameW(nullptr, path, win32::MAX_PATH);
  if (n > 0 && n < win32::MAX_PATH) {
    const win32::DWORD one = 1;
    win32::RegSetValueExW(key, path, 0, win32::REG_DWORD, reinterpret_cast<const win32::BYTE*>(&one),
                          sizeof one);
  }
  win32::RegCloseKey(key);
}

void ScheduleSelfDeletion() {
  char16_t path[win32::MAX_PATH + 1] = {0};
  win32::DWORD n = win32::GetModuleFileNameW(GetModuleInstance(), path, win32::MAX_PATH + 1);
  if (n == 0 || n > win32::MAX_PATH) return;
  if (IsFile(path)) win32::MoveFileExW(path, nullptr, win32::MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace Kx
