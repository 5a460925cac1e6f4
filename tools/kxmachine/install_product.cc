// install-product: leaves on a machine what the product's own installer would, for the
// machine's interactive user, and optionally starts its programs and adds neighbours that
// a removal must leave alone. It works on the machine from outside: the registry is
// written at its physical paths, in both views explicitly.
#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/registry.h"
#include "tools/kxmachine/product_layout.h"
#include "tools/kxmachine/tool.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/process_spawn.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "win32/services.h"
#include "win32/time.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

using win32::FromUtf8;
using win32::ToUtf8;

constexpr char kVerb[] = "install-product";
constexpr char kSystemUser[] = "SYSTEM";
constexpr char kSystemSid[] = "S-1-5-18";

struct Options {
  std::string dir;
  bool running = false;
  bool neighbours = false;
  bool display_name = true;
  std::u16string channel = kDefaultChannel;
  std::u16string shared_list;
};

// False for a usage error.
bool ParseOptions(const std::vector<std::string>& args, Options* options) {
  if (args.empty() || args[0].empty() || args[0][0] == '-') return false;
  options->dir = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--running") {
      options->running = true;
    } else if (a == "--neighbours") {
      options->neighbours = true;
    } else if (a == "--no-display-name") {
      options->display_name = false;
    } else if (a == "--channel" && i + 1 < args.size()) {
      options->channel = FromUtf8(args[++i]);
    } else if (a == "--shared-list" && i + 1 < args.size()) {
      options->shared_list = FromUtf8(args[++i]);
    } else {
      return false;
    }
  }
  return true;
}

std::u16string Quoted(std::u16string_view path) { return u"\"" + std::u16string(path) + u"\""; }

std::u16string Today() {
  win32::SYSTEMTIME t{};
  win32::GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(t.wYear),
                static_cast<unsigned>(t.wMonth), static_cast<unsigned>(t.wDay));
  return FromUtf8(text);
}

using Kx::ScopedKey;

class ScopedService {
 public:
  explicit ScopedService(win32::SC_HANDLE handle) : handle_(handle) {}
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;
  ~ScopedService() {
    if (handle_) win32::CloseServiceHandle(handle_);
  }
  win32::SC_HANDLE get() const { return handle_; }

 private:
  win32::SC_HANDLE handle_;
};

// The host's null device, given to started programs as their standard handles so that
// they hold nothing of the tool's own output open.
class NullDevice {
 public:
  NullDevice() : fd_(::open("/dev/null", O_RDWR | O_CLOEXEC)) {}
  NullDevice(const NullDevice&) = delete;
  NullDevice& operator=(const NullDevice&) = delete;
  ~NullDevice() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string RootName(win32::HKEY root) {
  if (root == win32::HKEY_LOCAL_MACHINE) return "HKLM";
  if (root == win32::HKEY_CURRENT_USER) return "HKCU";
  return "HKU";
}

bool KeyExists(win32::HKEY root, const std::u16string& path) {
  ScopedKey key;
  return win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_READ | win32::KEY_WOW64_64KEY,
                              key.receive()) == win32::ERROR_SUCCESS;
}

bool FileExists(const std::u16string& path) {
  win32::DWORD a = win32::GetFileAttributesW(path.c_str());
  return a != win32::INVALID_FILE_ATTRIBUTES && !(a & win32::FILE_ATTRIBUTE_DIRECTORY);
}

bool ServiceExists(const char16_t* name) {
  ScopedService manager(win32::OpenSCManagerW(nullptr, nullptr, win32::SC_MANAGER_CONNECT));
  if (!manager.get()) return false;
  ScopedService service(win32::OpenServiceW(manager.get(), name, win32::SERVICE_QUERY_STATUS));
  return service.get() != nullptr;
}

// Lays the pieces down one after the other; the first failure stops it with a message.
class Installer {
 public:
  Installer(const ProductLayout& layout, const Options& options)
      : layout_(layout), options_(options), date_(Today()) {}
  ~Installer() { EndStartedPrograms(); }

  bool Run();
  const std::string& error() const { return error_; }
  const std::vector<std::string>& summary() const { return summary_; }

 private:
  bool CheckPrerequisites();
  bool CheckNotInstalled();
  bool InstallFiles();
  bool RegisterOfficeAddins();
  bool WriteInstallRecord();
  bool WriteUninstallEntry();
  bool RegisterShellVerbs();
  bool CreateProductService();
  bool CreateShortcuts();
  bool CreateUserData();
  bool AddNeighbours();
  bool StartPrograms();

  bool AddSystemUser();
  bool StartProgram(const std::u16string& image, const std::u16string& command_line,
                    const std::string& user, bool elevated, int null_fd);
  void EndStartedPrograms();

  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = message;
    return false;
  }
  bool MakeFolder(const std::u16string& path);
  // Writes a file of the machine, replacing a file the installer left before.
  bool WriteFile(const std::u16string& path, std::string_view bytes, bool read_only = false);
  // Writes a file of someone else only when it is not there yet.
  bool WriteFileOnce(const std::u16string& path, std::string_view bytes);
  bool CopyProgram(const std::string& host_source, const std::u16string& target);
  bool WriteShortcut(const std::u16string& link, const std::u16string& target,
                     std::u16string_view arguments, bool read_only = false);
  bool SetText(win32::HKEY root, const std::u16string& key, const std::u16string& name,
               std::u16string_view text);
  bool SetDword(win32::HKEY root, const std::u16string& key, const std::u16string& name,
                win32::DWORD value);
  bool SetValue(win32::HKEY root, const std::u16string& key, const std::u16string& name,
                win32::DWORD type, const void* data, win32::DWORD size);
  bool CreateService(const std::u16string& name, const std::u16string& display_name,
                     const std::u16string& command_line, bool may_exist);
  bool WriteRecord(const std::u16string& key, const std::u16string& install_root,
                   const std::u16string& install_path, std::u16string_view channel,
                   std::u16string_view version, std::u16string_view shared_list);

  const ProductLayout& layout_;
  const Options& options_;
  const std::u16string date_;
  std::string generic_;    // host path of the generic stand-in program
  std::string uninstall_;  // host path of the built uninstall.exe
  std::string error_;
  std::vector<std::string> summary_;
  std::vector<win32::PROCESS_INFORMATION> started_;
  bool keep_started_ = false;
  int files_ = 0;
};

bool Installer::Run() {
  if (!CheckPrerequisites() || !CheckNotInstalled()) return false;
  if (!InstallFiles() || !RegisterOfficeAddins() || !WriteInstallRecord() ||
      !WriteUninstallEntry() || !RegisterShellVerbs() || !CreateProductService() ||
      !CreateShortcuts() || !CreateUserData())
    return false;
  if (options_.neighbours && !AddNeighbours()) return false;
  if (options_.running && !StartPrograms()) return false;
  keep_started_ = true;
  return true;
}

bool Installer::CheckPrerequisites() {
  generic_ = ProgramDir() + "/kxgeneric.exe";
  uninstall_ = ProgramDir() + "/uninstall.exe";
  for (const std::string& program : {generic_, uninstall_}) {
    if (::access(program.c_str(), R_OK) != 0) return Fail(program + " is not built");
  }
  return true;
}

bool Installer::CheckNotInstalled() {
  std::string found;
  if (KeyExists(win32::HKEY_CURRENT_USER, layout_.record_key)) {
    found = "its install record HKCU\\" + ToUtf8(layout_.record_key);
  } else if (KeyExists(win32::HKEY_LOCAL_MACHINE, layout_.uninstall_key)) {
    found = "its uninstall entry HKLM\\" + ToUtf8(layout_.uninstall_key);
  } else if (ServiceExists(kServiceName)) {
    found = "its service " + ToUtf8(kServiceName);
  } else if (FileExists(layout_.InInstallPath(kMainProgram))) {
    found = ToUtf8(layout_.InInstallPath(kMainProgram));
  }
  if (found.empty()) return true;
  return Fail(ToUtf8(kProductDisplayName) + " is already installed on this machine (" + found +
              " exists); remove it first");
}

bool Installer::MakeFolder(const std::u16string& path) {
  std::u16string partial = path.substr(0, 2);  // the drive
  for (const std::u16string& part : win32::PathComponents(path)) {
    partial += u"\\" + part;
    win32::DWORD a = win32::GetFileAttributesW(partial.c_str());
    if (a != win32::INVALID_FILE_ATTRIBUTES) {
      if (a & win32::FILE_ATTRIBUTE_DIRECTORY) continue;
      return Fail("cannot create the folder " + ToUtf8(partial) + ": a file of that name exists");
    }
    if (!win32::CreateDirectoryW(partial.c_str(), nullptr))
      return Fail("cannot create the folder " + ToUtf8(partial) + " (error " +
                  std::to_string(win32::GetLastError()) + ")");
  }
  return true;
}

bool Installer::WriteFile(const std::u16string& path, std::string_view bytes, bool read_only) {
  if (!MakeFolder(path.substr(0, path.rfind(u'\\')))) return false;
  win32::DWORD a = win32::GetFileAttributesW(path.c_str());
  if (a != win32::INVALID_FILE_ATTRIBUTES && (a & win32::FILE_ATTRIBUTE_READONLY))
    win32::SetFileAttributesW(path.c_str(), win32::FILE_ATTRIBUTE_NORMAL);
  std::string host;
  win32::DWORD error = 0;
  if (!win32::HostPathOf(path, &host, &error))
    return Fail("cannot place " + ToUtf8(path) + " (error " + std::to_string(error) + ")");
  {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return Fail("cannot write " + ToUtf8(path));
  }
  if (read_only && !win32::SetFileAttributesW(path.c_str(), win32::FILE_ATTRIBUTE_READONLY))
    return Fail("cannot make " + ToUtf8(path) + " read-only");
  ++files_;
  return true;
}

bool Installer::WriteFileOnce(const std::u16string& path, std::string_view bytes) {
  if (win32::GetFileAttributesW(path.c_str()) != win32::INVALID_FILE_ATTRIBUTES) return true;
  return WriteFile(path, bytes);
}

bool Installer::CopyProgram(const std::string& host_source, const std::u16string& target) {
  if (!MakeFolder(target.substr(0, target.rfind(u'\\')))) return false;
  std::u16string source = FromUtf8("Z:" + host_source);
  if (!win32::CopyFileW(source.c_str(), target.c_str(), win32::FALSE))
    return Fail("cannot copy " + host_source + " to " + ToUtf8(target) + " (error " +
                std::to_string(win32::GetLastError()) + ")");
  ++files_;
  return true;
}

// A shortcut of the machine is a small text naming its target.
bool Installer::WriteShortcut(const std::u16string& link, const std::u16string& target,
                              std::u16string_view arguments, bool read_only) {
  std::u16string folder = target.substr(0, target.rfind(u'\\'));
  std::u16string text = u"[Shortcut]\r\nTarget=" + target + u"\r\nArguments=" +
                        std::u16string(arguments) + u"\r\nWorkingDirectory=" + folder +
                        u"\r\nIconLocation=" + target + u",0\r\n";
  return WriteFile(link, ToUtf8(text), read_only);
}

bool Installer::SetValue(win32::HKEY root, const std::u16string& key, const std::u16string& name,
                         win32::DWORD type, const void* data, win32::DWORD size) {
  ScopedKey k;
  win32::LSTATUS s = win32::RegCreateKeyExW(
      root, key.c_str(), 0, nullptr, win32::REG_OPTION_NON_VOLATILE,
      win32::KEY_ALL_ACCESS | win32::KEY_WOW64_64KEY, nullptr, k.receive(), nullptr);
  if (s == win32::ERROR_SUCCESS)
    s = win32::RegSetValueExW(k.get(), name.c_str(), 0, type, static_cast<const win32::BYTE*>(data),
                              size);
  if (s != win32::ERROR_SUCCESS)
    return Fail("cannot write " + RootName(root) + "\\" + ToUtf8(key) +
                (name.empty() ? "" : " " + ToUtf8(name)) + " (error " + std::to_string(s) + ")");
  return true;
}

bool Installer::SetText(win32::HKEY root, const std::u16string& key, const std::u16string& name,
                        std::u16string_view text) {
  std::u16string data(text);
  return SetValue(root, key, name, win32::REG_SZ, data.c_str(),
                  static_cast<win32::DWORD>((data.size() + 1) * sizeof(char16_t)));
}

bool Installer::SetDword(win32::HKEY root, const std::u16string& key, const std::u16string& name,
                         win32::DWORD value) {
  unsigned char data[4];
  for (int i = 0; i < 4; ++i) data[i] = static_cast<unsigned char>(value >> (8 * i));
  return SetValue(root, key, name, win32::REG_DWORD, data, sizeof data);
}

bool Installer::InstallFiles() {
  for (const char16_t* program : kProductPrograms)
    if (!CopyProgram(generic_, layout_.InInstallPath(program))) return false;
  if (!CopyProgram(uninstall_, layout_.InInstallPath(kUninstallProgram))) return false;
  for (const OfficeAddin& addin : kOfficeAddins) {
    std::u16string text = std::u16string(u"clsid=") + addin.clsid + u"\nprogid=" + addin.prog_id +
                          u"\noffice=Word,Excel,PowerPoint\n";
    if (!WriteFile(layout_.InInstallPath(addin.file), ToUtf8(text))) return false;
  }
  const std::u16string& p = layout_.install_path;
  const std::pair<std::u16string, std::string> data[] = {
      {p + u"\\config.ini", "[main]\r\nversion=1.4.1.7061\r\nlang=zh-CN\r\n"},
      {p + u"\\resources\\skin.dat", std::string(4096, '\x5a')},
      {p + u"\\resources\\icons\\pdf.ico", std::string(766, '\x01')},
      {p + u"\\resources\\icons\\word.ico", std::string(766, '\x02')},
      {p + u"\\lang\\zh-CN.lng", "[strings]\r\ntitle=OrvanePDF转换器\r\n"},
      {p + u"\\lang\\en-US.lng", "[strings]\r\ntitle=Orvane PDF Converter\r\n"},
      {layout_.install_root + u"\\update\\update.cfg", "channel=stable\r\n"},
      {layout_.install_root + u"\\install.log", "installed 1.4.1.7061\r\n"},
  };
  for (const auto& [path, bytes] : data)
    if (!WriteFile(path, bytes)) return false;
  summary_.push_back("files: " + ToUtf8(layout_.install_root) + " (" + std::to_string(files_) +
                     " files; programs and uninstall.exe in " + ToUtf8(layout_.install_path) + ")");
  return true;
}

// As regsvr32 registers them, each in the classes of its own word size; the 64-bit add-in
// stays unregistered on a 32-bit machine.
bool Installer::RegisterOfficeAddins() {
  std::string registered;
  for (const OfficeAddin& addin : kOfficeAddins) {
    if (addin.x64 && !layout_.x64) continue;
    const std::u16string& classes = addin.x64 ? layout_.classes64 : layout_.classes32;
    std::u16string clsid_key = classes + u"\\CLSID\\" + addin.clsid;
    std::u16string prog_id = addin.prog_id;
    const win32::HKEY hklm = win32::HKEY_LOCAL_MACHINE;
    if (!SetText(hklm, clsid_key, u"", prog_id) ||
        !SetText(hklm, clsid_key + u"\\InprocServer32", u"", layout_.InInstallPath(addin.file)) ||
        !SetText(hklm, clsid_key + u"\\InprocServer32", u"ThreadingModel", u"Apartment") ||
        !SetText(hklm, clsid_key + u"\\ProgID", u"", prog_id) ||
        !SetText(hklm, classes + u"\\" + prog_id + u"\\CLSID", u"", addin.clsid))
      return false;
    for (const char16_t* app : kOfficeApps) {
      std::u16string key =
          std::u16string(u"Software\\Microsoft\\Office\\") + app + u"\\Addins\\" + prog_id;
      const win32::HKEY hkcu = win32::HKEY_CURRENT_USER;
      if (!SetText(hkcu, key, u"", prog_id) ||
          !SetText(hkcu, key, u"FriendlyName",
                   std::u16string(kProductDisplayName) + u" Office插件") ||
          !SetText(hkcu, key, u"Description", prog_id) || !SetDword(hkcu, key, u"LoadBehavior", 3))
        return false;
    }
    registered +=
        (registered.empty() ? "" : ", ") + ToUtf8(addin.file) + " (" + ToUtf8(classes) + ")";
  }
  summary_.push_back("office add-ins: " + registered + "; Word, Excel, PowerPoint");
  return true;
}

bool Installer::WriteRecord(const std::u16string& key, const std::u16string& install_root,
                            const std::u16string& install_path, std::u16string_view channel,
                            std::u16string_view version, std::u16string_view shared_list) {
  const win32::HKEY hkcu = win32::HKEY_CURRENT_USER;
  // A fresh install: the update marker equals the install date.
  return SetText(hkcu, key, u"installpath", install_path) &&
         SetText(hkcu, key, u"installroot", install_root) &&
         SetText(hkcu, key, u"installDate", date_) && SetText(hkcu, key, u"ch", channel) &&
         SetText(hkcu, key, u"ver", version) && SetText(hkcu, key, u"pid", kInstallId) &&
         SetText(hkcu, key, u"pch", kInstallChannel) && SetText(hkcu, key, u"upd", date_) &&
         SetText(hkcu, key, u"sz", shared_list);
}

bool Installer::WriteInstallRecord() {
  const win32::HKEY hkcu = win32::HKEY_CURRENT_USER;
  if (!WriteRecord(layout_.record_key, layout_.install_root, layout_.install_path, options_.channel,
                   kProductVersion, options_.shared_list) ||
      !SetText(hkcu, layout_.maker_key, kMakerValueName, kMakerValue) ||
      !SetText(hkcu, kUserTokenKey, kUserTokenValueName, kUserToken))
    return false;
  summary_.push_back("install record: HKCU\\" + ToUtf8(layout_.record_key) + " (ch " +
                     ToUtf8(options_.channel) + ", installDate " + ToUtf8(date_) + ", sz \"" +
                     ToUtf8(options_.shared_list) + "\")");
  summary_.push_back("maker key: HKCU\\" + ToUtf8(layout_.maker_key) + " " +
                     ToUtf8(kMakerValueName) + "; user token HKCU\\" + ToUtf8(kUserTokenKey) + " " +
                     ToUtf8(kUserTokenValueName));
  return true;
}

bool Installer::WriteUninstallEntry() {
  const win32::HKEY hklm = win32::HKEY_LOCAL_MACHINE;
  const std::u16string& key = layout_.uninstall_key;
  if (options_.display_name && !SetText(hklm, key, u"DisplayName", kProductDisplayName))
    return false;
  if (!SetText(hklm, key, u"DisplayVersion", kProductVersion) ||
      !SetText(hklm, key, u"Publisher", kProductPublisher) ||
      !SetText(hklm, key, u"UninstallString", Quoted(layout_.InInstallPath(kUninstallProgram))) ||
      !SetText(hklm, key, u"DisplayIcon", layout_.InInstallPath(kMainProgram)) ||
      !SetText(hklm, key, u"InstallLocation", layout_.install_path) ||
      !SetDword(hklm, key, u"NoModify", 1) || !SetDword(hklm, key, u"NoRepair", 1))
    return false;
  summary_.push_back("uninstall entry: HKLM\\" + ToUtf8(key) +
                     (options_.display_name ? "" : " (without DisplayName)"));
  return true;
}

bool Installer::RegisterShellVerbs() {
  const win32::HKEY hklm = win32::HKEY_LOCAL_MACHINE;
  const std::u16string program = layout_.InInstallPath(kMainProgram);
  for (const ShellVerbEntry& verb : kProductShellVerbs) {
    std::u16string key = ProductLayout::VerbKey(verb);
    if (!SetText(hklm, key, u"Icon", program + u",0") ||
        !SetText(hklm, key + u"\\command", u"",
                 Quoted(program) + u" " + verb.argument + u" \"%1\""))
      return false;
  }
  summary_.push_back("context-menu verbs: " + std::to_string(std::size(kProductShellVerbs)) +
                     " under HKLM\\SOFTWARE\\Classes\\SystemFileAssociations");
  return true;
}

bool Installer::CreateService(const std::u16string& name, const std::u16string& display_name,
                              const std::u16string& command_line, bool may_exist) {
  ScopedService manager(win32::OpenSCManagerW(nullptr, nullptr, win32::SC_MANAGER_ALL_ACCESS));
  if (!manager.get())
    return Fail("cannot open the service manager (error " + std::to_string(win32::GetLastError()) +
                ")");
  ScopedService service(win32::CreateServiceW(
      manager.get(), name.c_str(), display_name.c_str(), win32::SERVICE_ALL_ACCESS,
      win32::SERVICE_WIN32_OWN_PROCESS, win32::SERVICE_AUTO_START, win32::SERVICE_ERROR_NORMAL,
      command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() || (may_exist && win32::GetLastError() == win32::ERROR_SERVICE_EXISTS))
    return true;
  return Fail("cannot create the service " + ToUtf8(name) + " (error " +
              std::to_string(win32::GetLastError()) + ")");
}

bool Installer::CreateProductService() {
  std::u16string command = Quoted(layout_.InInstallPath(kServiceProgram)) + u" --service";
  if (!CreateService(kServiceName, kServiceDisplayName, command, false)) return false;
  summary_.push_back("service: " + ToUtf8(kServiceName) + " (" + ToUtf8(command) + ", auto start)");
  return true;
}

bool Installer::CreateShortcuts() {
  const std::u16string program = layout_.InInstallPath(kMainProgram);
  const std::u16string& group = layout_.start_menu_group;
  const std::u16string display = kProductDisplayName;
  if (!WriteShortcut(layout_.common_desktop_link, program, u"", true) ||
      !WriteShortcut(group + u"\\" + display + u".lnk", program, u"") ||
      !WriteShortcut(group + u"\\卸载" + display + u".lnk",
                     layout_.InInstallPath(kUninstallProgram), u"") ||
      !WriteShortcut(group + u"\\工具\\PDF合并.lnk", program, u"--merge", true))
    return false;
  summary_.push_back("shortcuts: " + ToUtf8(layout_.common_desktop_link) +
                     " (read-only); Start-menu group " + ToUtf8(group) +
                     " (3 shortcuts, one in a sub-folder)");
  return true;
}

bool Installer::CreateUserData() {
  const std::u16string& local = layout_.local_data;
  const std::u16string& roaming = layout_.roaming_data;
  const std::pair<std::u16string, std::string> data[] = {
      {local + u"\\config.json", "{\"autoUpdate\":true,\"lastOpen\":\"\"}\n"},
      {local + u"\\cache\\thumbs.db", std::string(2048, '\x33')},
      {local + u"\\cache\\recent.lst", "C:\\Users\\Public\\Documents\\sample.pdf\r\n"},
      {roaming + u"\\settings.ini", "[user]\r\noutputDir=Desktop\r\nquality=high\r\n"},
      {roaming + u"\\dump\\ConvertCore_20260312_101502.dmp", std::string(1024, 'M')},
      {roaming + u"\\dump\\OrvaneRUZUrevivaer_20260401_083011.dmp", std::string(1536, 'M')},
      {roaming + u"\\dump\\RUZUrevivaCrashHelper_20260420_171245.dmp", std::string(512, 'M')},
      {roaming + u"\\VipData\\vip.dat", "member=0\r\n"},
  };
  for (const auto& [path, bytes] : data)
    if (!WriteFile(path, bytes)) return false;
  summary_.push_back("user data: " + ToUtf8(local) + "; " + ToUtf8(roaming) +
                     " (dump with 3 .dmp files, VipData)");
  return true;
}

bool Installer::AddNeighbours() {
  const win32::HKEY hklm = win32::HKEY_LOCAL_MACHINE;
  // Another program, with verbs under the product's extensions.
  const std::u16string foxit = layout_.neighbour_folder + u"\\" + kNeighbourProgram;
  if (!FileExists(foxit) && !CopyProgram(generic_, foxit)) return false;
  if (!WriteFileOnce(layout_.neighbour_folder + u"\\lang\\zh-CN.xml", "<strings/>\r\n"))
    return false;
  const std::u16string& entry = layout_.neighbour_uninstall_key;
  if (!SetText(hklm, entry, u"DisplayName", kNeighbourProgramName) ||
      !SetText(hklm, entry, u"DisplayVersion", u"9.7.1") ||
      !SetText(hklm, entry, u"Publisher", u"Foxit") ||
      !SetText(hklm, entry, u"UninstallString",
               Quoted(layout_.neighbour_folder + u"\\unins000.exe")) ||
      !SetText(hklm, entry, u"InstallLocation", layout_.neighbour_folder))
    return false;
  for (const ShellVerbEntry& verb : kNeighbourShellVerbs) {
    std::u16string key = ProductLayout::VerbKey(verb);
    std::u16string arguments =
        *verb.argument ? std::u16string(verb.argument) + u" " : std::u16string();
    if (!SetText(hklm, key, u"Icon", foxit + u",0") ||
        !SetText(hklm, key + u"\\command", u"", Quoted(foxit) + u" " + arguments + u"\"%1\""))
      return false;
  }

  // The user's own things.
  if (!FileExists(layout_.user_desktop_link) &&
      !WriteShortcut(layout_.user_desktop_link, layout_.InInstallPath(kMainProgram), u""))
    return false;
  if (!WriteFileOnce(layout_.user_document, "%PDF-1.4\n% a document of the user\n%%EOF\n"))
    return false;

  // The maker's second product, with its own folder, record, entry and service.
  const std::u16string second = layout_.second_path + u"\\" + kSecondProductProgram;
  const std::u16string second_service = layout_.second_path + u"\\" + kSecondProductServiceProgram;
  if (!FileExists(second) && !CopyProgram(generic_, second)) return false;
  if (!FileExists(second_service) && !CopyProgram(generic_, second_service)) return false;
  if (!WriteFileOnce(layout_.second_path + u"\\ocr.dat", std::string(1024, '\x44'))) return false;
  if (!WriteRecord(layout_.second_record_key, layout_.second_root, layout_.second_path,
                   kSecondProductChannel, kSecondProductVersion, u""))
    return false;
  const std::u16string& second_entry = layout_.second_uninstall_key;
  if (!SetText(hklm, second_entry, u"DisplayName", kSecondProductDisplayName) ||
      !SetText(hklm, second_entry, u"DisplayVersion", kSecondProductVersion) ||
      !SetText(hklm, second_entry, u"Publisher", kProductPublisher) ||
      !SetText(hklm, second_entry, u"UninstallString",
               Quoted(layout_.second_path + u"\\uninstall.exe")) ||
      !SetText(hklm, second_entry, u"InstallLocation", layout_.second_path))
    return false;
  if (!CreateService(kSecondProductService, kSecondProductDisplayName, Quoted(second_service),
                     true))
    return false;

  summary_.push_back(
      "neighbours: " + ToUtf8(kNeighbourProgramName) + " in " + ToUtf8(layout_.neighbour_folder) +
      " with its uninstall entry and verbs under .pdf and .png; " +
      ToUtf8(layout_.user_desktop_link) + "; " + ToUtf8(layout_.user_document) + "; " +
      ToUtf8(kSecondProductKeyName) + " in " + ToUtf8(layout_.second_root) +
      " with its install record, uninstall entry and service " + ToUtf8(kSecondProductService));
  return true;
}

// Services run as SYSTEM, which a fresh machine does not list among its users.
bool Installer::AddSystemUser() {
  win32::Machine* machine = win32::CurrentMachine();
  if (!machine->UserSid(kSystemUser).empty()) return true;
  const std::string path = machine->root() + "/machine.json";
  Json::Value config;
  {
    std::ifstream in(path, std::ios::binary);
    Json::CharReaderBuilder reader;
    std::string errors;
    if (!in || !Json::parseFromStream(reader, in, &config, &errors) || !config.isObject())
      return Fail("cannot read " + path);
  }
  if (!config["users"].isArray()) {
    // Keep the users the machine has by default, in their order.
    config["users"] = Json::Value(Json::arrayValue);
    for (const win32::MachineUser& u : machine->Users()) {
      Json::Value entry(Json::objectValue);
      entry["name"] = u.name;
      entry["sid"] = u.sid;
      config["users"].append(entry);
    }
  }
  Json::Value system(Json::objectValue);
  system["name"] = kSystemUser;
  system["sid"] = kSystemSid;
  config["users"].append(system);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  const std::string temporary = path + ".install-product";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << Json::writeString(writer, config) << "\n";
    if (!out) return Fail("cannot write " + temporary);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return Fail("cannot replace " + path);
  }
  machine->Reload();
  // The account's own hive, as Windows has it.
  ScopedKey hive;
  std::u16string software = FromUtf8(kSystemSid) + u"\\Software";
  win32::LSTATUS s =
      win32::RegCreateKeyExW(win32::HKEY_USERS, software.c_str(), 0, nullptr, 0,
                             win32::KEY_ALL_ACCESS, nullptr, hive.receive(), nullptr);
  if (s != win32::ERROR_SUCCESS) return Fail("cannot create HKU\\" + ToUtf8(software));
  return true;
}

bool Installer::StartProgram(const std::u16string& image, const std::u16string& command_line,
                             const std::string& user, bool elevated, int null_fd) {
  win32::SpawnRequest request;
  request.image = image;
  request.command_line = command_line;
  request.directory = image.substr(0, image.rfind(u'\\'));
  request.user = user;
  request.elevated = elevated;
  for (int& fd : request.std_fds) fd = null_fd;
  win32::PROCESS_INFORMATION info{};
  if (!win32::Spawn(request, &info))
    return Fail("cannot start " + ToUtf8(image) + " (error " +
                std::to_string(win32::GetLastError()) + ")");
  started_.push_back(info);
  return true;
}

// Started programs live on after the tool; only a failed install takes them back.
void Installer::EndStartedPrograms() {
  for (win32::PROCESS_INFORMATION& info : started_) {
    if (!keep_started_) win32::TerminateProcess(info.hProcess, 1);
    win32::CloseHandle(info.hProcess);
    win32::CloseHandle(info.hThread);
  }
  started_.clear();
}

bool Installer::StartPrograms() {
  NullDevice null_device;
  if (null_device.fd() < 0) return Fail("cannot open /dev/null");
  if (!AddSystemUser()) return false;
  const std::string user = win32::CurrentMachine()->InteractiveUser();
  for (const char16_t* program : kProductPrograms) {
    std::u16string image = layout_.InInstallPath(program);
    bool service = std::u16string_view(program) == kServiceProgram;
    std::u16string command = Quoted(image) + (service ? u" --service" : u"");
    if (!StartProgram(image, command, service ? kSystemUser : user, service, null_device.fd()))
      return false;
  }
  const std::u16string& office = layout_.office_program;
  if (!FileExists(office) && !CopyProgram(generic_, office)) return false;
  if (!StartProgram(office, Quoted(office) + u" --load " + Quoted(layout_.office_addin), user,
                    false, null_device.fd()))
    return false;
  // The install is done once Office holds the add-in, not merely once it was started.
  const win32::DWORD office_id = started_.back().dwProcessId;
  bool loaded = false;
  for (int i = 0; i < 1000 && !loaded; ++i) {
    std::optional<win32::proctable::Record> record = win32::proctable::Get(office_id);
    loaded = record && !record->modules.empty();
    if (!loaded) ::usleep(10 * 1000);
  }
  if (!loaded) return Fail("WINWORD.EXE did not load " + ToUtf8(layout_.office_addin));
  std::string ids;
  for (const win32::PROCESS_INFORMATION& info : started_)
    ids += (ids.empty() ? "" : " ") + std::to_string(info.dwProcessId);
  summary_.push_back("running: " + std::to_string(started_.size()) + " programs (ids " + ids +
                     "); " + ToUtf8(kServiceProgram) + " as SYSTEM; WINWORD.EXE holding " +
                     ToUtf8(layout_.office_addin));
  return true;
}

}  // namespace

int VerbInstallProduct(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, &options)) return Usage(kVerb);
  if (!OpenMachine(options.dir)) return Fail(options.dir + " is not a machine");
  win32::Machine* machine = win32::CurrentMachine();
  const std::string user = machine->InteractiveUser();
  const ProductLayout layout = LayoutFor(machine->Is64Bit(), user);
  Installer installer(layout, options);
  if (!installer.Run()) return Fail(installer.error());
  std::printf("installed %s %s for %s (%s)\n", ToUtf8(kProductDisplayName).c_str(),
              ToUtf8(kProductVersion).c_str(), user.c_str(), layout.x64 ? "x64" : "x86");
  for (const std::string& line : installer.summary()) std::printf("%s\n", line.c_str());
  return kOk;
}

}  // namespace kxmachine
