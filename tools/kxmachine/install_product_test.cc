// kxmachine install-product, run as a person would on a machine made by kxmachine create,
// and checked from a process of that machine that sees it as the 32-bit uninstaller does.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_tool.h"
#include "tests/support/test_machine.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

namespace fs = std::filesystem;
using kxtest::Kxmachine;
using kxtest::ToolResult;
using win32::FromUtf8;
using win32::ToUtf8;

constexpr char16_t kRoot64[] = u"C:\\Program Files (x86)\\OrvaneRUZUrevivaer";
constexpr char16_t kPath64[] = u"C:\\Program Files (x86)\\OrvaneRUZUrevivaer\\1.4.1.7061";
constexpr char16_t kRoot32[] = u"C:\\Program Files\\OrvaneRUZUrevivaer";
constexpr char16_t kPath32[] = u"C:\\Program Files\\OrvaneRUZUrevivaer\\1.4.1.7061";
constexpr char16_t kRecord[] = u"SoftWare\\ovapp\\OrvaneRUZUrevivaer";
constexpr char16_t kEntry[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneRUZUrevivaer";
constexpr const char16_t* kPrograms[] = {u"OrvaneRUZUrevivaer.exe", u"ConvertCore.exe",
                                         u"VAVADIzororaDadedor.exe", u"RUZUrevivaCrashHelper.exe"};

// A machine made by `kxmachine create` in a temporary folder. The test process is bound
// to it as an elevated 32-bit program.
class CreatedMachine {
 public:
  explicit CreatedMachine(const std::string& arch = "x64") {
    std::string base = fs::temp_directory_path().string() + "/kxinstall.XXXXXX";
    if (!::mkdtemp(base.data())) return;
    base_ = base;
    root_ = base + "/machine";
    if (Kxmachine({"create", root_, "--arch", arch}).exit_code != 0 || !win32::BindMachine(root_))
      return;
    win32::ProcessStartup startup;
    startup.elevated = true;
    startup.bits = 32;
    // Not listed, so that the machine's process list holds only what the tool started.
    startup.listed = false;
    win32::EnterProcessAs(startup);
    ok_ = win32::CurrentProcess().elevated;
  }
  ~CreatedMachine() {
    if (base_.empty()) return;
    // Programs a test left running are ended before their files go.
    for (const std::string& line : kxtest::Lines(Kxmachine({"ps", "list", root_}).out))
      Kxmachine({"ps", "kill", root_, line.substr(0, line.find('\t'))});
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(base_, ec); !ec && it != fs::end(it);
         it.increment(ec))
      if (!it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(base_, ec);
  }
  CreatedMachine(const CreatedMachine&) = delete;
  CreatedMachine& operator=(const CreatedMachine&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }

  ToolResult Install(std::vector<std::string> options = {}) const {
    options.insert(options.begin(), {"install-product", root_});
    return Kxmachine(options);
  }

 private:
  std::string base_;
  std::string root_;
  bool ok_ = false;
};

// A REG_SZ value without its terminator; nothing when the key or value is missing or of
// another type.
std::optional<std::u16string> ReadText(win32::HKEY root, std::u16string_view key_path,
                                       std::u16string_view name, win32::REGSAM view = 0) {
  win32::HKEY key = nullptr;
  std::u16string path(key_path), value_name(name);
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_QUERY_VALUE | view, &key) !=
      win32::ERROR_SUCCESS)
    return std::nullopt;
  char16_t buffer[2048] = {0};
  win32::DWORD type = 0, size = sizeof buffer - 2;
  win32::LSTATUS s = win32::RegQueryValueExW(key, value_name.c_str(), nullptr, &type,
                                             reinterpret_cast<win32::BYTE*>(buffer), &size);
  win32::RegCloseKey(key);
  if (s != win32::ERROR_SUCCESS || type != win32::REG_SZ) return std::nullopt;
  std::u16string text(buffer, size / 2);
  if (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

bool KeyExists(win32::HKEY root, std::u16string_view key_path, win32::REGSAM view = 0) {
  win32::HKEY key = nullptr;
  std::u16string path(key_path);
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_READ | view, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  win32::RegCloseKey(key);
  return true;
}

std::vector<std::u16string> Subkeys(win32::HKEY root, std::u16string_view key_path) {
  std::vector<std::u16string> names;
  win32::HKEY key = nullptr;
  std::u16string path(key_path);
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_READ, &key) != win32::ERROR_SUCCESS)
    return names;
  for (win32::DWORD i = 0;; ++i) {
    char16_t name[256];
    win32::DWORD size = 256;
    if (win32::RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        win32::ERROR_SUCCESS)
      break;
    names.emplace_back(name, size);
  }
  win32::RegCloseKey(key);
  return names;
}

win32::DWORD Attributes(std::u16string_view path) {
  return win32::GetFileAttributesW(std::u16string(path).c_str());
}
bool IsFile(std::u16string_view path) {
  win32::DWORD a = Attributes(path);
  return a != win32::INVALID_FILE_ATTRIBUTES && !(a & win32::FILE_ATTRIBUTE_DIRECTORY);
}
bool IsFolder(std::u16string_view path) {
  win32::DWORD a = Attributes(path);
  return a != win32::INVALID_FILE_ATTRIBUTES && (a & win32::FILE_ATTRIBUTE_DIRECTORY);
}
bool IsReadOnly(std::u16string_view path) {
  win32::DWORD a = Attributes(path);
  return a != win32::INVALID_FILE_ATTRIBUTES && (a & win32::FILE_ATTRIBUTE_READONLY);
}
std::string ReadMachineFile(std::u16string_view path) {
  std::string host;
  if (!win32::HostPathOf(path, &host, nullptr)) return std::string();
  return kxtest::ReadHostFile(host);
}
// Entries of a folder other than "." and "..".
int CountEntries(std::u16string_view folder) {
  win32::WIN32_FIND_DATAW data;
  std::u16string pattern = std::u16string(folder) + u"\\*";
  win32::HANDLE find = win32::FindFirstFileW(pattern.c_str(), &data);
  if (find == win32::INVALID_HANDLE_VALUE) return 0;
  int n = 0;
  do {
    std::u16string name(data.cFileName);
    if (name != u"." && name != u"..") ++n;
  } while (win32::FindNextFileW(find, &data));
  win32::FindClose(find);
  return n;
}

// The value of "key=" in an add-in's description.
std::string AddinField(const std::string& text, const std::string& key) {
  for (const std::string& line : kxtest::Lines(text))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return std::string();
}

struct LiveProcess {
  std::string id, user, elevated, command_line;
};
// `kxmachine ps list` by image name.
std::multimap<std::string, LiveProcess> ListProcesses(const std::string& root) {
  std::multimap<std::string, LiveProcess> out;
  for (const std::string& line : kxtest::Lines(Kxmachine({"ps", "list", root}).out)) {
    std::vector<std::string> f;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      size_t tab = line.find('\t', start);
      if (tab == std::string::npos) break;
      f.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    if (f.size() == 4) out.emplace(f[1], LiveProcess{f[0], f[2], f[3], line.substr(start)});
  }
  return out;
}

std::string ServiceLine(const std::string& root, const std::string& name) {
  for (const std::string& line : kxtest::Lines(Kxmachine({"services", root}).out))
    if (line.rfind(name + "\t", 0) == 0) return line;
  return std::string();
}

TEST(InstallProduct, WritesTheInstallRecordTheUninstallerReads) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(kxtest::Lines(r.out).size(), 9u) << r.out;

  const win32::HKEY hkcu = win32::HKEY_CURRENT_USER;
  const std::map<std::u16string, std::u16string> record = {
      {u"installpath", kPath64},
      {u"installroot", kRoot64},
      {u"ch", u"100234"},
      {u"ver", u"1.4.1.7061"},
      {u"sz", u""},
  };
  for (const auto& [name, want] : record)
    EXPECT_EQ(ReadText(hkcu, kRecord, name, win32::KEY_WOW64_32KEY), want) << ToUtf8(name);
  for (const char16_t* name : {u"pid", u"pch"})
    EXPECT_FALSE(ReadText(hkcu, kRecord, name).value_or(u"").empty()) << ToUtf8(name);
  std::u16string date = ReadText(hkcu, kRecord, u"installDate").value_or(u"");
  ASSERT_EQ(date.size(), 10u);
  EXPECT_EQ(date[4], u'-');
  EXPECT_EQ(date[7], u'-');
  // A fresh install: the update marker is the install date.
  EXPECT_EQ(ReadText(hkcu, kRecord, u"upd"), date);

  // The maker key keeps a value of its own beside the records, and the user token.
  win32::HKEY maker = nullptr;
  ASSERT_EQ(win32::RegOpenKeyExW(hkcu, u"SOFTWARE\\ovapp", 0, win32::KEY_READ, &maker),
            win32::ERROR_SUCCESS);
  win32::DWORD values = 0;
  win32::RegQueryInfoKeyW(maker, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr);
  win32::RegCloseKey(maker);
  EXPECT_GE(values, 1u);
  EXPECT_FALSE(ReadText(hkcu, u"SoftWare\\ovapp\\02\\01", u"token").value_or(u"").empty());
}

TEST(InstallProduct, PutsTheUninstallEntryInThe32BitView) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const win32::HKEY hklm = win32::HKEY_LOCAL_MACHINE;
  const win32::REGSAM view32 = win32::KEY_WOW64_32KEY;
  EXPECT_EQ(ReadText(hklm, kEntry, u"DisplayName", view32), u"OrvanePDF转换器");
  EXPECT_EQ(ReadText(hklm, kEntry, u"DisplayVersion", view32), u"1.4.1.7061");
  EXPECT_EQ(ReadText(hklm, kEntry, u"UninstallString", view32),
            u"\"" + std::u16string(kPath64) + u"\\uninstall.exe\"");
  EXPECT_EQ(ReadText(hklm, kEntry, u"InstallLocation", view32), kPath64);
  for (const char16_t* name : {u"Publisher", u"DisplayIcon"})
    EXPECT_TRUE(ReadText(hklm, kEntry, name, view32)) << ToUtf8(name);
  EXPECT_FALSE(KeyExists(hklm, kEntry, win32::KEY_WOW64_64KEY));
}

TEST(InstallProduct, RegistersTheSixteenContextMenuVerbs) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  struct Verb {
    const char16_t* extension;
    const char16_t* verb;
  };
  const Verb verbs[] = {
      {u".png", u"转换为PDF"},   {u".jpg", u"转换为PDF"},  {u".doc", u"转换为PDF"},
      {u".docx", u"转换为PDF"},  {u".pptx", u"转换为PDF"}, {u".ppt", u"转换为PDF"},
      {u".xls", u"转换为PDF"},   {u".xlsx", u"转换为PDF"}, {u".pdf", u"转换为Word"},
      {u".pdf", u"转换为Excel"}, {u".pdf", u"转换为PPT"},  {u".pdf", u"PDF合并"},
      {u".pdf", u"PDF拆分"},     {u".pdf", u"PDF加密"},    {u".pdf", u"PDF解密"},
      {u".pdf", u"转换为图片"},
  };
  const std::u16string program = u"\"" + std::u16string(kPath64) + u"\\OrvaneRUZUrevivaer.exe\" ";
  for (const Verb& v : verbs) {
    std::u16string key =
        std::u16string(u"SystemFileAssociations\\") + v.extension + u"\\Shell\\" + v.verb;
    std::u16string command =
        ReadText(win32::HKEY_CLASSES_ROOT, key + u"\\command", u"").value_or(u"");
    EXPECT_EQ(command.rfind(program, 0), 0u) << ToUtf8(key) << ": " << ToUtf8(command);
    EXPECT_GT(command.size(), program.size()) << ToUtf8(key);
    EXPECT_TRUE(ReadText(win32::HKEY_CLASSES_ROOT, key, u"Icon")) << ToUtf8(key);
  }
  EXPECT_EQ(Subkeys(win32::HKEY_CLASSES_ROOT, u"SystemFileAssociations\\.pdf\\Shell").size(), 8u);
  EXPECT_EQ(Subkeys(win32::HKEY_CLASSES_ROOT, u"SystemFileAssociations\\.png\\Shell").size(), 1u);
}

TEST(InstallProduct, PlacesTheProgramsAndRegistersTheAddinsInTheirViews) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::u16string path = kPath64;
  for (const char16_t* program : kPrograms)
    EXPECT_TRUE(IsFile(path + u"\\" + program)) << ToUtf8(program);
  EXPECT_EQ(ReadMachineFile(path + u"\\uninstall.exe"),
            kxtest::ReadHostFile(kxtest::BinDir() + "/uninstall.exe"));
  // More than the programs: deleting the root is a tree deletion.
  EXPECT_GE(CountEntries(kRoot64), 2);
  int folders = 0;
  for (const auto& entry : fs::directory_iterator(machine.root() + "/drive_c/Program Files (x86)/"
                                                                   "OrvaneRUZUrevivaer/1.4.1.7061"))
    folders += entry.is_directory();
  EXPECT_GE(folders, 1);

  struct Addin {
    const char16_t* file;
    const char16_t* classes;
  };
  const Addin addins[] = {{u"VIRudedaDezuv.dll", u"SOFTWARE\\WOW6432Node\\Classes"},
                          {u"VIRudedaDezuv_x64.dll", u"SOFTWARE\\Classes"}};
  for (const Addin& a : addins) {
    std::u16string file = path + u"\\" + a.file;
    std::string text = ReadMachineFile(file);
    std::u16string clsid = FromUtf8(AddinField(text, "clsid"));
    std::u16string prog_id = FromUtf8(AddinField(text, "progid"));
    ASSERT_EQ(clsid.size(), 38u) << text;
    EXPECT_EQ(AddinField(text, "office"), "Word,Excel,PowerPoint");
    std::u16string clsid_key = std::u16string(a.classes) + u"\\CLSID\\" + clsid;
    EXPECT_EQ(ReadText(win32::HKEY_LOCAL_MACHINE, clsid_key + u"\\InprocServer32", u"",
                       win32::KEY_WOW64_64KEY),
              file);
    EXPECT_EQ(
        ReadText(win32::HKEY_LOCAL_MACHINE, clsid_key + u"\\ProgID", u"", win32::KEY_WOW64_64KEY),
        prog_id);
    for (const char16_t* app : {u"Word", u"Excel", u"PowerPoint"})
      EXPECT_TRUE(KeyExists(
          win32::HKEY_CURRENT_USER,
          std::u16string(u"Software\\Microsoft\\Office\\") + app + u"\\Addins\\" + prog_id))
          << ToUtf8(app);
  }
}

TEST(InstallProduct, CreatesTheShortcutsAndUserData) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(IsReadOnly(u"C:\\Users\\Public\\Desktop\\OrvanePDF转换器.lnk"));
  const std::u16string group =
      u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\OrvanePDF转换器";
  EXPECT_TRUE(IsFile(group + u"\\OrvanePDF转换器.lnk"));
  EXPECT_TRUE(IsFile(group + u"\\卸载OrvanePDF转换器.lnk"));
  int read_only_in_subfolder = 0;
  for (const auto& entry : fs::recursive_directory_iterator(
           machine.root() +
           "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/OrvanePDF转换器")) {
    if (entry.path().parent_path().filename() == "OrvanePDF转换器") continue;
    read_only_in_subfolder += IsReadOnly(win32::WindowsPathOf(entry.path().string()));
  }
  EXPECT_EQ(read_only_in_subfolder, 1);
  // The user's own desktop gets nothing of the product.
  EXPECT_FALSE(IsFile(u"C:\\Users\\alice\\Desktop\\OrvanePDF转换器.lnk"));

  EXPECT_GE(CountEntries(u"C:\\Users\\alice\\AppData\\Local\\OrvaneRUZUrevivaer"), 1);
  const std::u16string roaming = u"C:\\Users\\alice\\AppData\\Roaming\\OrvaneRUZUrevivaer";
  EXPECT_TRUE(IsFolder(roaming + u"\\VipData"));
  EXPECT_GE(CountEntries(roaming), 3);  // dump, VipData and a settings file
  int dumps = 0;
  win32::WIN32_FIND_DATAW data;
  win32::HANDLE find = win32::FindFirstFileW((roaming + u"\\dump\\*.dmp").c_str(), &data);
  ASSERT_NE(find, win32::INVALID_HANDLE_VALUE);
  do ++dumps;
  while (win32::FindNextFileW(find, &data));
  win32::FindClose(find);
  EXPECT_GE(dumps, 2);
}

TEST(InstallProduct, CreatesTheServiceWithoutStartingAnything) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string line = ServiceLine(machine.root(), "OrvaneRUZUrevivaerSvc");
  EXPECT_NE(line.find("\t\"" + ToUtf8(kPath64) + "\\VAVADIzororaDadedor.exe\" --service\t2\t"),
            std::string::npos)
      << line;
  EXPECT_TRUE(ListProcesses(machine.root()).empty());
}

TEST(InstallProduct, RunningStartsTheProgramsAndOfficeHoldsTheAddin) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install({"--running"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::multimap<std::string, LiveProcess> live = ListProcesses(machine.root());
  ASSERT_EQ(live.size(), 5u) << Kxmachine({"ps", "list", machine.root()}).out;
  for (const char16_t* program : kPrograms) {
    std::string name = ToUtf8(program);
    ASSERT_EQ(live.count(name), 1u) << name;
    const LiveProcess& p = live.find(name)->second;
    bool service = name == "VAVADIzororaDadedor.exe";
    EXPECT_EQ(p.user, service ? "SYSTEM" : "alice") << name;
    EXPECT_EQ(p.elevated, service ? "elevated" : "-") << name;
    EXPECT_EQ(p.command_line.find("\"" + ToUtf8(kPath64) + "\\" + name + "\""), 0u)
        << p.command_line;
    EXPECT_EQ(service, p.command_line.find("--service") != std::string::npos) << p.command_line;
  }
  ASSERT_EQ(live.count("WINWORD.EXE"), 1u);
  EXPECT_EQ(live.find("WINWORD.EXE")->second.user, "alice");
  const std::u16string addin = std::u16string(kPath64) + u"\\VIRudedaDezuv_x64.dll";
  EXPECT_FALSE(win32::DeleteFileW(addin.c_str()));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_SHARING_VIOLATION);

  for (const auto& [name, p] : live)
    EXPECT_EQ(Kxmachine({"ps", "kill", machine.root(), p.id}).exit_code, 0) << name;
  EXPECT_TRUE(ListProcesses(machine.root()).empty());
  EXPECT_TRUE(win32::DeleteFileW(addin.c_str()));
}

TEST(InstallProduct, OptionsSetChannelSharedListAndDisplayName) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install(
      {"--channel", "100999", "--shared-list", "OrvaneOCRReader,,Other", "--no-display-name"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(win32::HKEY_CURRENT_USER, kRecord, u"ch"), u"100999");
  EXPECT_EQ(ReadText(win32::HKEY_CURRENT_USER, kRecord, u"sz"), u"OrvaneOCRReader,,Other");
  EXPECT_FALSE(ReadText(win32::HKEY_LOCAL_MACHINE, kEntry, u"DisplayName", win32::KEY_WOW64_32KEY));
  EXPECT_TRUE(
      ReadText(win32::HKEY_LOCAL_MACHINE, kEntry, u"UninstallString", win32::KEY_WOW64_32KEY));
}

TEST(InstallProduct, RefusesToInstallTwice) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ASSERT_EQ(machine.Install({"--channel", "111"}).exit_code, 0);
  ToolResult again = machine.Install({"--channel", "222", "--running"});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_NE(again.err.find("already installed"), std::string::npos) << again.err;
  EXPECT_EQ(ReadText(win32::HKEY_CURRENT_USER, kRecord, u"ch"), u"111");
  EXPECT_TRUE(ListProcesses(machine.root()).empty());

  // What is left of an earlier install still counts, record or not.
  ASSERT_EQ(win32::RegDeleteTreeW(win32::HKEY_CURRENT_USER, kRecord), win32::ERROR_SUCCESS);
  EXPECT_EQ(machine.Install().exit_code, 1);
}

TEST(InstallProduct, RejectsBadCommandLines) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    std::vector<std::string> args;
    int want;
  };
  const Case cases[] = {
      {{"install-product"}, 2},
      {{"install-product", machine.root(), "--bogus"}, 2},
      {{"install-product", machine.root(), "--channel"}, 2},
      {{"install-product", "--running"}, 2},
      {{"install-product", machine.root() + "/no-such-machine"}, 1},
  };
  for (const Case& c : cases) {
    ToolResult r = Kxmachine(c.args);
    EXPECT_EQ(r.exit_code, c.want) << c.args.back() << ": " << r.err;
  }
  EXPECT_FALSE(KeyExists(win32::HKEY_CURRENT_USER, kRecord));
}

TEST(InstallProduct, NeighboursAreLaidDownBesideTheProduct) {
  CreatedMachine machine;
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install({"--neighbours"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const win32::HKEY hkcr = win32::HKEY_CLASSES_ROOT;
  EXPECT_TRUE(
      ReadText(hkcr, u"SystemFileAssociations\\.pdf\\Shell\\用FoxReader打开\\command", u""));
  EXPECT_EQ(Subkeys(hkcr, u"SystemFileAssociations\\.pdf\\Shell").size(), 9u);
  EXPECT_EQ(Subkeys(hkcr, u"SystemFileAssociations\\.png\\Shell").size(), 2u);
  EXPECT_EQ(Subkeys(win32::HKEY_LOCAL_MACHINE,
                    u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall")
                .size(),
            3u);
  EXPECT_TRUE(IsFile(u"C:\\Users\\alice\\Desktop\\OrvanePDF转换器.lnk"));
  EXPECT_GE(CountEntries(u"C:\\Users\\alice\\Documents"), 1);

  const std::u16string second = u"SoftWare\\ovapp\\OrvaneOCRReader";
  std::u16string second_path =
      ReadText(win32::HKEY_CURRENT_USER, second, u"installpath").value_or(u"");
  std::u16string second_root =
      ReadText(win32::HKEY_CURRENT_USER, second, u"installroot").value_or(u"");
  EXPECT_GE(CountEntries(second_path), 1) << ToUtf8(second_path);
  EXPECT_EQ(second_root.find(u"OrvaneRUZUrevivaer"), std::u16string::npos);
  EXPECT_EQ(second_path.rfind(second_root + u"\\", 0), 0u);
  EXPECT_TRUE(ReadText(win32::HKEY_LOCAL_MACHINE,
                       u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneOCRReader",
                       u"DisplayName", win32::KEY_WOW64_32KEY));
  EXPECT_FALSE(ServiceLine(machine.root(), "OrvaneOCRReaderSvc").empty());
  EXPECT_FALSE(ServiceLine(machine.root(), "OrvaneRUZUrevivaerSvc").empty());
}

TEST(InstallProduct, UsesTheSingleViewOfA32BitMachine) {
  CreatedMachine machine("x86");
  ASSERT_TRUE(machine.ok());
  ToolResult r = machine.Install({"--running"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(win32::HKEY_CURRENT_USER, kRecord, u"installpath"), kPath32);
  EXPECT_EQ(ReadText(win32::HKEY_CURRENT_USER, kRecord, u"installroot"), kRoot32);
  EXPECT_EQ(ReadText(win32::HKEY_LOCAL_MACHINE, kEntry, u"DisplayName"), u"OrvanePDF转换器");
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node"));
  EXPECT_EQ(ReadText(win32::HKEY_CLASSES_ROOT,
                     u"SystemFileAssociations\\.pdf\\Shell\\PDF合并\\command", u"")
                .value_or(u"")
                .rfind(u"\"" + std::u16string(kPath32) + u"\\OrvaneRUZUrevivaer.exe\" ", 0),
            0u);

  // Only the 32-bit add-in is registered; the 64-bit file is there all the same.
  const std::u16string addin32 = std::u16string(kPath32) + u"\\VIRudedaDezuv.dll";
  const std::u16string addin64 = std::u16string(kPath32) + u"\\VIRudedaDezuv_x64.dll";
  std::vector<std::u16string> servers;
  for (const std::u16string& clsid :
       Subkeys(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID"))
    servers.push_back(ReadText(win32::HKEY_LOCAL_MACHINE,
                               u"SOFTWARE\\Classes\\CLSID\\" + clsid + u"\\InprocServer32", u"")
                          .value_or(u""));
  EXPECT_EQ(servers, std::vector<std::u16string>{addin32});
  EXPECT_TRUE(IsFile(addin64));

  std::multimap<std::string, LiveProcess> live = ListProcesses(machine.root());
  EXPECT_EQ(live.size(), 5u);
  ASSERT_EQ(live.count("WINWORD.EXE"), 1u);
  EXPECT_NE(live.find("WINWORD.EXE")->second.command_line.find(ToUtf8(addin32)), std::string::npos);
  EXPECT_FALSE(win32::DeleteFileW(addin32.c_str()));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_SHARING_VIOLATION);
  for (const auto& [name, p] : live)
    EXPECT_EQ(Kxmachine({"ps", "kill", machine.root(), p.id}).exit_code, 0) << name;
  EXPECT_TRUE(ListProcesses(machine.root()).empty());
}

}  // namespace
}  // namespace kxmachine
