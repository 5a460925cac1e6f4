#include "app/launch.h"

#include <chrono>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_frame.h"
#include "app/product.h"
#include "app/self_deletion.h"
#include "app/uninstaller.h"
#include "base/install_record.h"
#include "base/path.h"
#include "base/process.h"
#include "base/registry.h"
#include "base/strings.h"
#include "stat/click_reporter.h"
#include "win32/desktop.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/modules.h"
#include "win32/processes.h"
#include "win32/shell.h"
#include "win32/sync.h"

namespace Kx {
namespace {

constexpr char16_t kRunInTemp[] = u"-run_in_temp";
constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char16_t kMutexName[] = u"7D4E2A61-93C8-4B0F-A5E2-1F60B8C93D47";
constexpr char16_t kAlreadyRunningText[] = u"OrvanePDF转换器已经有安装程序正在运行，请稍后重试！";
constexpr char16_t kAlreadyRunningCaption[] = u"卸载提示";
constexpr char16_t kDisplayNameText[] = u"DisplayName不存在";

// Pre-checks of silent mode; false when the run must end here.
bool SilentPreChecks(const UninstallCommandLine& command) {
  RemoveSharedProduct(kProductKeyName, command.product);
  std::u16string display_name;
  if (RegReadText(win32::HKEY_LOCAL_MACHINE, std::u16string(kUninstallKey) + kProductKeyName,
                  u"DisplayName", &display_name, kRegistryView32)) {
    win32::OutputDebugStringW(kDisplayNameText);
    return false;
  }
  std::vector<std::u16string> products;
  GetSharedProductList(kProductKeyName, &products);
  for (const std::u16string& id : products)
    if (IsProductPresent(id)) return false;
  return true;
}

std::u16string CopyName(const std::u16string& temp) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  return temp + IntToString(static_cast<int32_t>(static_cast<uint32_t>(seconds))) + u"uninstall.exe";
}

// Copies the executable into the temporary folder and starts the copy; false when the run
// must go on in this process.
bool RestartFromTemp(win32::HINSTANCE instance, const std::u16string& command_text) {
  char16_t temp_buffer[win32::MAX_PATH] = {0};
  win32::DWORD n = win32::GetTempPathW(win32::MAX_PATH, temp_buffer);
  if (n == 0 || n >= win32::MAX_PATH) return false;
  std::u16string temp(temp_buffer, n);
  CreateDirectoryTree(temp);
  std::u16string copy = CopyName(temp);
  char16_t own[win32::MAX_PATH + 1] = {0};
  n = win32::GetModuleFileNameW(instance, own, win32::MAX_PATH + 1);
  if (n == 0 || n > win32::MAX_PATH) return false;
  // Never write through a name someone else prepared: a link (or a stale file) at the
  // copy's name is removed, and the copy is only written as a new file.
  if (win32::GetFileAttributesW(copy.c_str()) != win32::INVALID_FILE_ATTRIBUTES)
    win32::DeleteFileW(copy.c_str());
  if (!win32::CopyFileW(own, copy.c_str(), win32::TRUE)) return false;
  std::u16string parameters = command_text + u" " + kRunInTemp;
  win32::HINSTANCE result = win32::ShellExecuteW(nullptr, u"open", copy.c_str(), parameters.c_str(),
                                                 temp.c_str(), win32::SW_SHOW);
  if (reinterpret_cast<intptr_t>(result) > 32) return true;
  return StartProcess(copy, parameters.c_str(), false, 0);
}

void SilentBranch() {
  KxUninstaller uninstaller;
  uninstaller.Uninstall(true, nullptr);
  WriteCompatibilityAssistantMark();
  ScheduleSelfDeletion();
}

}  // namespace

int UninstallerMain(win32::HINSTANCE instance, std::u16string_view command_view) {
  std::u16string command_text(command_view);
  UninstallCommandLine command = ParseUninstallCommandLine(command_text);
  if (command_text.find(kRunInTemp) == std::u16string::npos) {
    if (command.mode == 1 && !SilentPreChecks(command)) return 0;
    if (RestartFromTemp(instance, command_text)) return 1;
  }

  win32::HANDLE mutex = win32::CreateMutexW(nullptr, win32::TRUE, kMutexName);
  if (win32::GetLastError() == win32::ERROR_ALREADY_EXISTS) {
    if (command.mode == 0)
      win32::MessageBoxW(nullptr, kAlreadyRunningText, kAlreadyRunningCaption, win32::MB_OK);
    if (mutex) win32::CloseHandle(mutex);
    return 0;
  }
  SetModuleInstance(instance);
  if (command.mode == 1) {
    SilentBranch();
  } else {
    KxClickReporter::Instance().Init("", "", KxClickReporter::kDefaultWaitMs);
    RunMainWindow(instance);
    // Pending counts leave once more before the reporter's thread ends.
    KxClickReporter::Instance().Wake();
    KxClickReporter::Instance().Stop();
  }
  if (mutex) win32::CloseHandle(mutex);
  return 1;
}

}  // namespace Kx
