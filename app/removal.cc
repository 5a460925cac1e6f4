#include "app/removal.h"

#include <string>
#include <vector>

#include "app/product.h"
#include "base/install_record.h"
#include "base/path.h"
#include "base/process.h"
#include "base/shell_removal.h"
#include "base/strings.h"
#include "stat/endpoints.h"
#include "stat/fingerprint.h"
#include "stat/record_report.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/processes.h"
#include "win32/services.h"
#include "win32/shell.h"
#include "win32/time.h"

namespace Kx {
namespace {

constexpr const char16_t* kProductPrograms[] = {
    u"OrvaneRUZUrevivaer.exe",
    u"ConvertCore.exe",
    u"VAVADIzororaDadedor.exe",
    u"RUZUrevivaCrashHelper.exe",
};

constexpr char16_t kAddin32[] = u"VIRudedaDezuv.dll";
constexpr char16_t kAddin64[] = u"VIRudedaDezuv_x64.dll";

struct ShellVerb {
  const char16_t* extension;
  const char16_t* verb;
};

constexpr ShellVerb kShellVerbs[] = {
    {u".png", u"转换为PDF"},  {u".jpg", u"转换为PDF"},  {u".doc", u"转换为PDF"},
    {u".docx", u"转换为PDF"}, {u".pptx", u"转换为PDF"}, {u".ppt", u"转换为PDF"},
    {u".xls", u"转换为PDF"},  {u".xlsx", u"转换为PDF"}, {u".pdf", u"转换为Word"},
    {u".pdf", u"转换为Excel"}, {u".pdf", u"转换为PPT"},  {u".pdf", u"PDF合并"},
    {u".pdf", u"PDF拆分"},    {u".pdf", u"PDF加密"},    {u".pdf", u"PDF解密"},
    {u".pdf", u"转换为图片"},
};

// The local time as "%Y%m%d%H%M%S".
std::u16string TimeStamp() {
  win32::SYSTEMTIME t;
  win32::GetLocalTime(&t);
  std::u16string stamp;
  FormatString(&stamp, u"%04d%02d%02d%02d%02d%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
               t.wSecond);
  return stamp;
}

void UnregisterAndMoveAway(const std::u16string& install_path, const std::u16string& temp,
                           const char16_t* dll) {
  std::u16string path = CombinePath(install_path, dll);
  if (!IsFile(path)) return;
  std::u16string parameters = u"/u -s \"" + path + u"\"";
  win32::SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = win32::SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = u"runas";
  info.lpFile = u"regsvr32.exe";
  info.lpParameters = parameters.c_str();
  info.nShow = win32::SW_SHOW;
  if (win32::ShellExecuteExW(&info) && info.hProcess) {
    win32::WaitForSingleObject(info.hProcess, win32::INFINITE);
    win32::CloseHandle(info.hProcess);
  }
  std::u16string moved = CombinePath(temp, dll) + TimeStamp();
  win32::MoveFileW(path.c_str(), moved.c_str());
  win32::MoveFileExW(moved.c_str(), nullptr, win32::MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

void TerminateProductPrograms() {
  for (const char16_t* program : kProductPrograms) TerminateProcessByName(program);
}

bool UnregisterOfficeAddins() {
  std::u16string install_path = GetInstallPath(kProductKeyName);
  char16_t temp[win32::MAX_PATH] = {0};
  win32::DWORD n = win32::GetTempPathW(win32::MAX_PATH, temp);
  std::u16string temp_folder = n < win32::MAX_PATH ? std::u16string(temp, n) : std::u16string();
  UnregisterAndMoveAway(install_path, temp_folder, kAddin32);
  if (Is64BitOs() == 1) UnregisterAndMoveAway(install_path, temp_folder, kAddin64);
  return true;
}

void DeleteProductShellVerbs() {
  for (const ShellVerb& v : kShellVerbs) DeleteShellVerb(v.verb, v.extension);
}

bool IsRemovableInstallRoot(std::u16string_view root) {
  bool drive = root.size() >= 3 && ((root[0] | 0x20) >= u'a' && (root[0] | 0x20) <= u'z') &&
               root[1] == u':' && (root[2] == u'\\' || root[2] == u'/');
  if (!drive) return false;
  bool below_root = false;
  size_t start = 3;
  while (start <= root.size()) {
    size_t end = root.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = root.size();
    std::u16string_view part = root.substr(start, end - start);
    if (part == u"." || part == u"..") return false;
    if (!part.empty()) below_root = true;
    start = end + 1;
  }
  return below_root && root.find(kProductKeyName) != std::u16string_view::npos;
}

void RemoveInstallRoot() {
  std::u16string root = GetInstallRoot(kProductKeyName);
  if (IsRemovableInstallRoot(root)) DeleteFolderTree(root);
}

void RemoveUserData(bool remove_user_data) {
  std::u16string roaming;
  GetAppDataFolder(kProductKeyName, false, &roaming);
  if (remove_user_data) {
    std::u16string local;
    GetLocalAppDataFolder(kProductKeyName, false, &local);
    if (!local.empty() && PathExists(local)) DeleteFolderTree(local);
    if (!roaming.empty() && PathExists(roaming)) DeleteFolderTree(roaming);
    return;
  }
  if (roaming.empty()) return;
  std::u16string dump = CombinePath(roaming, u"dump");
  if (PathExists(dump)) DeleteFolderTree(dump);
}

bool DeleteProductService(std::u16string_view service_name) {
  win32::SC_HANDLE manager = win32::OpenSCManagerW(nullptr, nullptr, win32::SC_MANAGER_ALL_ACCESS);
  if (!manager) return true;
  std::u16string name(service_name);
  if (win32::SC_HANDLE service = win32::OpenServiceW(manager, name.c_str(), 0xF003F)) {
    win32::DeleteService(service);
    win32::CloseServiceHandle(service);
  }
  win32::CloseServiceHandle(manager);
  return true;
}

void SendRemovalRecord() {
  StatRecord record;
  record.product = kProductKeyName;
  record.channel = GetInstallChannel(kProductKeyName);
  record.product_version = kUninstallerVersion;
  record.install_date = GetInstallDate(kProductKeyName);
  record.url = kStatisticsRecordUrl;
  record.type = 1;
  std::u16string message;
  SendRecord(record, &message);
}

}  // namespace Kx
