#include "win32/machine.h"

#include <json/reader.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultSidPrefix = "S-1-5-21-3623811015-3361044348-30300820-";

std::mutex g_bind_mutex;
Machine* g_machine = nullptr;
// Every machine bound in this process stays open until exit: other threads may still
// hold one after a test binds the next.
std::vector<std::unique_ptr<Machine>>* g_bound = new std::vector<std::unique_ptr<Machine>>();
bool g_tried_env = false;

bool ReadJson(const std::string& path, Json::Value* out) {
  std::ifstream in(path);
  if (!in) return false;
  Json::CharReaderBuilder builder;
  std::string errors;
  return Json::parseFromStream(builder, in, out, &errors) && out->isObject();
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    if (!out.flush()) return false;
  }
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

std::unique_ptr<Machine> Machine::Open(const std::string& root) {
  std::error_code ec;
  std::string abs = fs::weakly_canonical(fs::absolute(root, ec), ec).string();
  if (ec) return nullptr;
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  if (!fs::is_directory(abs + "/drive_c", ec) || !fs::exists(abs + "/registry.db", ec))
    return nullptr;
  std::unique_ptr<Machine> machine(new Machine());
  machine->root_ = abs;
  machine->store_.reset(Store::Open(abs + "/registry.db"));
  if (!machine->store_) return nullptr;
  fs::create_directories(abs + "/run", ec);
  fs::create_directories(abs + "/log", ec);
  machine->Reload();
  return machine;
}

void Machine::Reload() {
  Json::Value config(Json::objectValue);
  ReadJson(root_ + "/machine.json", &config);
  std::vector<std::u16string> deny;
  if (config["deny_write"].isArray()) {
    for (const Json::Value& entry : config["deny_write"]) {
      if (!entry.isString()) continue;
      std::u16string path = Fold(FromUtf8(entry.asString()));
      for (char16_t& c : path)
        if (c == u'/') c = u'\\';
      while (!path.empty() && path.back() == u'\\') path.pop_back();
      if (!path.empty()) deny.push_back(std::move(path));
    }
  }
  std::lock_guard<std::mutex> lock(config_mutex_);
  config_ = config;
  deny_write_ = std::move(deny);
}

bool Machine::DeniesWrite(std::u16string_view full_path) const {
  std::lock_guard<std::mutex> lock(config_mutex_);
  if (deny_write_.empty()) return false;
  std::u16string folded = Fold(full_path);
  for (const std::u16string& d : deny_write_) {
    if (folded.size() >= d.size() && folded.compare(0, d.size(), d) == 0 &&
        (folded.size() == d.size() || folded[d.size()] == u'\\'))
      return true;
  }
  return false;
}

Json::Value Machine::Config() const {
  std::lock_guard<std::mutex> lock(config_mutex_);
  return config_;
}

std::string Machine::WindowsVersion() const {
  Json::Value c = Config();
  return c.get("windows_version", "10.0.19045").asString();
}

bool Machine::Is64Bit() const { return Config().get("arch", "x64").asString() != "x86"; }

UINT Machine::AnsiCodePage() const {
  Json::Value page = Config()["ansi_code_page"];
  return page.isUInt() ? page.asUInt() : 936;
}

std::string Machine::InteractiveUser() const {
  Json::Value c = Config();
  if (c.isMember("interactive_user")) return c["interactive_user"].asString();
  std::vector<MachineUser> users = Users();
  return users.empty() ? "alice" : users.front().name;
}

std::vector<MachineUser> Machine::Users() const {
  Json::Value c = Config();
  std::vector<MachineUser> users;
  const Json::Value& list = c["users"];
  if (list.isArray()) {
    for (const Json::Value& u : list) {
      if (!u.isObject() || !u["name"].isString()) continue;
      users.push_back({u["name"].asString(), u.get("sid", "").asString()});
    }
  }
  if (users.empty()) users.push_back({"alice", std::string(kDefaultSidPrefix) + "1001"});
  for (size_t i = 0; i < users.size(); ++i)
    if (users[i].sid.empty()) users[i].sid = kDefaultSidPrefix + std::to_string(1001 + i);
  return users;
}

std::string Machine::UserSid(std::string_view user) const {
  for (const MachineUser& u : Users())
    if (EqualsNoCase(FromUtf8(u.name), FromUtf8(user))) return u.sid;
  return std::string();
}

bool Machine::AcceptsElevation() const {
  return Config().get("elevation", "accept").asString() != "refuse";
}

bool Machine::IsExportMissing(std::string_view module, std::string_view name) const {
  Json::Value c = Config();
  const Json::Value& list = c["missing_exports"];
  if (!list.isArray()) return false;
  std::u16string want = Fold(FromUtf8(std::string(module) + "!" + std::string(name)));
  std::u16string whole = Fold(FromUtf8(std::string(module)));
  for (const Json::Value& entry : list) {
    if (!entry.isString()) continue;
    std::u16string e = Fold(FromUtf8(entry.asString()));
    if (e == want || e == whole) return true;
  }
  return false;
}

std::string Machine::DriveDir(char letter) const {
  char lower = static_cast<char>(letter | 0x20);
  if (lower < 'a' || lower > 'z') return std::string();
  if (lower == 'z') return "/";
  std::string dir = root_ + "/drive_" + lower;
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

std::string DefaultMachineRoot() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.local/share";
  }
  return base + "/kxmachine/default";
}

Machine* CurrentMachine() {
  std::lock_guard<std::mutex> lock(g_bind_mutex);
  if (g_machine || g_tried_env) return g_machine;
  g_tried_env = true;
  const char* env = std::getenv("KX_MACHINE");
  std::string root = env && *env ? env : DefaultMachineRoot();
  std::unique_ptr<Machine> machine = Machine::Open(root);
  if (!machine && !(env && *env)) {
    std::string error;
    if (CreateMachine(root, MachineSetup(), &error)) machine = Machine::Open(root);
  }
  g_machine = machine.get();
  if (machine) g_bound->push_back(std::move(machine));
  if (g_machine) ::setenv("KX_MACHINE", g_machine->root().c_str(), 1);
  return g_machine;
}

bool BindMachine(const std::string& root) {
  std::unique_ptr<Machine> machine = Machine::Open(root);
  if (!machine) return false;
  std::lock_guard<std::mutex> lock(g_bind_mutex);
  g_machine = machine.get();
  g_bound->push_back(std::move(machine));
  g_tried_env = true;
  ::setenv("KX_MACHINE", g_machine->root().c_str(), 1);
  return true;
}

std::u16string UserProfileDir(std::string_view user) {
  return u"C:\\Users\\" + FromUtf8(user);
}

namespace {

bool WriteSkeletonRegistry(Store* store, const MachineSetup& setup, const std::string& sid) {
  using namespace regstore;
  const bool x64 = setup.arch != "x86";
  std::u16string build = FromUtf8(setup.windows_version.substr(setup.windows_version.rfind('.') + 1));
  std::u16string profile = UserProfileDir(setup.user);
  std::vector<std::pair<int64_t, std::u16string>> keys = {
      {kLocalMachine, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0"},
      {kLocalMachine, u"SAM"},
      {kLocalMachine, u"SECURITY"},
      {kLocalMachine, u"SOFTWARE\\Classes\\SystemFileAssociations"},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Office"},
      {kLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"},
      {kLocalMachine, u"SYSTEM\\CurrentControlSet\\Services"},
      {kUsers, u".DEFAULT\\Software"},
  };
  if (x64) {
    keys.push_back({kLocalMachine, u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"});
    keys.push_back({kLocalMachine, u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"});
    keys.push_back({kLocalMachine, u"SOFTWARE\\WOW6432Node\\Microsoft\\Office"});
  }
  std::u16string u = FromUtf8(sid);
  keys.push_back({kUsers, u + u"\\Software\\Classes"});
  keys.push_back({kUsers, u + u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"});
  keys.push_back({kUsers, u + u"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\"
                              u"Compatibility Assistant\\Persisted"});
  keys.push_back({kUsers, u + u"\\Environment"});
  keys.push_back({kUsers, u + u"\\Volatile Environment"});
  for (const auto& [root, path] : keys)
    if (!CreatePath(store, root, path, nullptr)) return false;

  struct V {
    int64_t root;
    std::u16string key, name;
    DWORD type;
    std::string data;
  };
  std::vector<V> values = {
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"ProductName", 1,
       SzBytes(u"Windows 10 Pro")},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentBuild", 1, SzBytes(build)},
      {kLocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentBuildNumber", 1,
       SzBytes(build)},
      {kLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", u"BootExecute", 7,
       SzBytes(u"autocheck autochk *") + std::string(2, '\0')},
      {kLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
       u"PROCESSOR_ARCHITECTURE", 1, SzBytes(x64 ? u"AMD64" : u"x86")},
      {kLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", u"windir",
       2, SzBytes(u"%SystemRoot%")},
      {kUsers, u + u"\\Environment", u"TEMP", 2, SzBytes(u"%USERPROFILE%\\AppData\\Local\\Temp")},
      {kUsers, u + u"\\Environment", u"TMP", 2, SzBytes(u"%USERPROFILE%\\AppData\\Local\\Temp")},
      {kUsers, u + u"\\Volatile Environment", u"USERPROFILE", 1, SzBytes(profile)},
  };
  for (const V& v : values) {
    int64_t key = CreatePath(store, v.root, v.key, nullptr);
    if (!key || !SetValue(store, key, v.name, v.type, v.data)) return false;
  }
  return true;
}

}  // namespace

bool CreateMachine(const std::string& root, const MachineSetup& setup, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (setup.arch != "x64" && setup.arch != "x86") return fail("unknown architecture " + setup.arch);
  std::error_code ec;
  if (fs::exists(root + "/registry.db", ec) || fs::exists(root + "/machine.json", ec))
    return fail(root + " already holds a machine");
  fs::create_directories(root, ec);
  if (ec) return fail("cannot create " + root + ": " + ec.message());
  const std::string c = root + "/drive_c";
  std::string user = setup.user;
  std::vector<std::string> dirs = {
      "Users/" + user + "/Desktop",
      "Users/" + user + "/Documents",
      "Users/" + user + "/Downloads",
      "Users/" + user + "/AppData/Local/Temp",
      "Users/" + user + "/AppData/LocalLow",
      "Users/" + user + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs",
      "Users/Public/Desktop",
      "Users/Public/Documents",
      "ProgramData/Microsoft/Windows/Start Menu/Programs",
      "Program Files/Common Files",
      "Windows/System32/wbem",
      "Windows/System32/drivers/etc",
      "Windows/Temp",
  };
  if (setup.arch == "x64") {
    dirs.push_back("Program Files (x86)/Common Files");
    dirs.push_back("Windows/SysWOW64");
  }
  for (const std::string& d : dirs) {
    fs::create_directories(c + "/" + d, ec);
    if (ec) return fail("cannot create " + d + ": " + ec.message());
  }
  fs::create_directories(root + "/run", ec);
  fs::create_directories(root + "/log", ec);

  std::string sid = std::string(kDefaultSidPrefix) + "1001";
  Json::Value config(Json::objectValue);
  config["windows_version"] = setup.windows_version;
  config["arch"] = setup.arch;
  config["ansi_code_page"] = 936;
  config["interactive_user"] = user;
  Json::Value u(Json::objectValue);
  u["name"] = user;
  u["sid"] = sid;
  config["users"].append(u);
  config["elevation"] = "accept";
  config["missing_exports"] = Json::Value(Json::arrayValue);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  if (!WriteFileAtomically(root + "/machine.json", Json::writeString(writer, config) + "\n"))
    return fail("cannot write machine.json");

  std::unique_ptr<Store> store(Store::Open(root + "/registry.db"));
  if (!store) return fail("cannot create registry.db");
  {
    Transaction tx(store.get());
    if (!tx.ok() || !WriteSkeletonRegistry(store.get(), setup, sid) || !tx.Commit())
      return fail("cannot write the registry skeleton");
  }
  for (const auto& [windows_path, host_file] : setup.programs) {
    std::string rel = ToUtf8(windows_path.substr(3));
    for (char& ch : rel)
      if (ch == '\\') ch = '/';
    fs::path target = fs::path(c) / rel;
    fs::create_directories(target.parent_path(), ec);
    fs::copy_file(host_file, target, fs::copy_options::overwrite_existing, ec);
    if (ec) return fail("cannot install " + host_file + ": " + ec.message());
  }
  return true;
}

}  // namespace win32
