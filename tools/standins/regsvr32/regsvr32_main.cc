// regsvr32 of the machine: "regsvr32 [/u] [/s] FILE" registers or unregisters a COM
// server. A server file of the machine describes itself in lines of "key=value" text
// (clsid, progid, office: the Office programs that load it as an add-in); unregistering
// removes every class whose InprocServer32 names the file, its ProgID and its Office
// add-in entries. Each call is recorded in the desktop log.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "win32/desktop.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace {

using win32::FromUtf8;
using win32::ToUtf8;

constexpr int kBadArguments = 1;
constexpr int kLoadFailed = 3;
constexpr int kEntryMissing = 4;

std::u16string ReadDefault(win32::HKEY root, const std::u16string& path) {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_QUERY_VALUE | win32::KEY_WOW64_64KEY, &key) !=
      win32::ERROR_SUCCESS)
    return std::u16string();
  char16_t buffer[1024] = {0};
  win32::DWORD size = sizeof buffer - 2, type = 0;
  std::u16string value;
  if (win32::RegQueryValueExW(key, u"", nullptr, &type, reinterpret_cast<win32::BYTE*>(buffer), &size) ==
      win32::ERROR_SUCCESS)
    value.assign(buffer, size / 2);
  while (!value.empty() && value.back() == 0) value.pop_back();
  win32::RegCloseKey(key);
  return value;
}

void WriteDefault(win32::HKEY root, const std::u16string& path, const std::u16string& value) {
  win32::HKEY key = nullptr;
  if (win32::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, win32::KEY_ALL_ACCESS | win32::KEY_WOW64_64KEY,
                             nullptr, &key, nullptr) != win32::ERROR_SUCCESS)
    return;
  std::u16string data = value;
  win32::RegSetValueExW(key, u"", 0, win32::REG_SZ, reinterpret_cast<const win32::BYTE*>(data.c_str()),
                        static_cast<win32::DWORD>((data.size() + 1) * 2));
  win32::RegCloseKey(key);
}

std::vector<std::u16string> Subkeys(win32::HKEY root, const std::u16string& path) {
  std::vector<std::u16string> names;
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_READ | win32::KEY_WOW64_64KEY, &key) !=
      win32::ERROR_SUCCESS)
    return names;
  for (win32::DWORD i = 0;; ++i) {
    char16_t name[256];
    win32::DWORD size = 256;
    if (win32::RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != win32::ERROR_SUCCESS)
      break;
    names.emplace_back(name, size);
  }
  win32::RegCloseKey(key);
  return names;
}

const std::vector<std::u16string> kClassRoots = {u"SOFTWARE\\Classes",
                                                 u"SOFTWARE\\WOW6432Node\\Classes"};
const std::vector<std::u16string> kOfficeApps = {u"Word", u"Excel", u"PowerPoint"};

void RemoveOfficeEntries(const std::u16string& prog_id) {
  for (const std::u16string& app : kOfficeApps) {
    std::u16string tail = u"Microsoft\\Office\\" + app + u"\\Addins\\" + prog_id;
    win32::SHDeleteKeyW(win32::HKEY_CURRENT_USER, (u"Software\\" + tail).c_str());
    win32::SHDeleteKeyW(win32::HKEY_LOCAL_MACHINE, (u"SOFTWARE\\" + tail).c_str());
    win32::SHDeleteKeyW(win32::HKEY_LOCAL_MACHINE, (u"SOFTWARE\\WOW6432Node\\" + tail).c_str());
  }
}

bool Unregister(const std::u16string& file) {
  bool found = false;
  for (const std::u16string& classes : kClassRoots) {
    for (const std::u16string& clsid : Subkeys(win32::HKEY_LOCAL_MACHINE, classes + u"\\CLSID")) {
      std::u16string key = classes + u"\\CLSID\\" + clsid;
      std::u16string server = ReadDefault(win32::HKEY_LOCAL_MACHINE, key + u"\\InprocServer32");
      if (!win32::EqualsNoCase(server, file)) continue;
      found = true;
      std::u16string prog_id = ReadDefault(win32::HKEY_LOCAL_MACHINE, key + u"\\ProgID");
      win32::SHDeleteKeyW(win32::HKEY_LOCAL_MACHINE, key.c_str());
      if (!prog_id.empty()) {
        win32::SHDeleteKeyW(win32::HKEY_LOCAL_MACHINE, (classes + u"\\" + prog_id).c_str());
        RemoveOfficeEntries(prog_id);
      }
    }
  }
  return found;
}

bool Register(const std::u16string& file, const std::map<std::string, std::string>& description) {
  auto clsid = description.find("clsid"), prog_id = description.find("progid");
  if (clsid == description.end() || prog_id == description.end()) return false;
  std::u16string id = FromUtf8(clsid->second), prog = FromUtf8(prog_id->second);
  std::u16string key = u"SOFTWARE\\Classes\\CLSID\\" + id;
  WriteDefault(win32::HKEY_LOCAL_MACHINE, key, prog);
  WriteDefault(win32::HKEY_LOCAL_MACHINE, key + u"\\InprocServer32", file);
  WriteDefault(win32::HKEY_LOCAL_MACHINE, key + u"\\ProgID", prog);
  WriteDefault(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\" + prog + u"\\CLSID", id);
  auto office = description.find("office");
  if (office != description.end()) {
    std::stringstream apps(office->second);
    std::string app;
    while (std::getline(apps, app, ','))
      WriteDefault(win32::HKEY_CURRENT_USER,
                   u"Software\\Microsoft\\Office\\" + FromUtf8(app) + u"\\Addins\\" + prog, prog);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  win32::EnterProcess(argc, argv);
  std::u16string line = win32::GetCommandLineW();
  Json::Value entry;
  entry["kind"] = "program";
  entry["command_line"] = ToUtf8(line);
  win32::AppendDesktopLog(entry);
  bool unregister = false;
  std::u16string file;
  std::vector<std::u16string> args = win32::CommandLineToArgs(line);
  for (size_t i = 1; i < args.size(); ++i) {
    std::u16string a = win32::Fold(args[i]);
    if (a == u"/U" || a == u"-U") unregister = true;
    else if (a == u"/S" || a == u"-S") continue;
    else if (file.empty()) file = args[i];
    else return win32::LeaveProcess(kBadArguments);
  }
  if (file.empty()) return win32::LeaveProcess(kBadArguments);
  std::u16string full;
  win32::DWORD error = 0;
  std::string host;
  if (!win32::FullWindowsPath(file, &full, &error) || !win32::HostPathOf(full, &host, &error) ||
      win32::GetFileAttributesW(full.c_str()) == win32::INVALID_FILE_ATTRIBUTES)
    return win32::LeaveProcess(kLoadFailed);
  if (unregister) return win32::LeaveProcess(Unregister(full) ? 0 : kEntryMissing);
  std::map<std::string, std::string> description;
  std::ifstream in(host);
  std::string text;
  while (std::getline(in, text)) {
    size_t eq = text.find('=');
    if (eq != std::string::npos) description[text.substr(0, eq)] = text.substr(eq + 1);
  }
  return win32::LeaveProcess(Register(full, description) ? 0 : kEntryMissing);
}
