#include "tests/support/test_machine.h"

#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/store.h"
#include "win32/unicode.h"

namespace kxtest {

namespace fs = std::filesystem;

TestMachine::TestMachine(const win32::MachineSetup& setup, const TestProcess& process) {
  std::string base = fs::temp_directory_path().string() + "/kxtest.XXXXXX";
  if (!::mkdtemp(base.data())) return;
  root_ = base + "/machine";
  std::string error;
  if (!win32::CreateMachine(root_, setup, &error) || !win32::BindMachine(root_)) return;
  win32::ProcessStartup startup;
  startup.elevated = process.elevated;
  startup.bits = process.bits;
  startup.user = process.user;
  ok_ = win32::EnterProcessAs(startup);
}

TestMachine::~TestMachine() {
  if (root_.empty()) return;
  // Programs a test started end with it, so that none outlives its machine.
  if (std::unique_ptr<win32::Machine> machine = win32::Machine::Open(root_)) {
    win32::Store* store = machine->store();
    std::lock_guard<std::recursive_mutex> lock(store->mutex());
    win32::Statement st(store->db(),
                        "SELECT host_pid, host_start FROM processes WHERE ended = 0 AND host_pid IS NOT NULL");
    while (st.Step()) {
      int64_t pid = st.Int(0);
      if (pid != ::getpid() && win32::proctable::HostStartTime(pid) == st.Int(1))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }
  std::error_code ec;
  fs::path parent = fs::path(root_).parent_path();
  // Restore write bits so that read-only fixtures do not stop the removal.
  for (auto it = fs::recursive_directory_iterator(parent, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(parent, ec);
}

std::string TestMachine::Host(std::u16string_view windows_path) const {
  std::string rel = win32::ToUtf8(windows_path.substr(windows_path.size() >= 3 ? 3 : windows_path.size()));
  for (char& c : rel)
    if (c == '\\') c = '/';
  char drive = windows_path.empty() ? 'c' : static_cast<char>(windows_path[0] | 0x20);
  return root_ + "/drive_" + drive + "/" + rel;
}

void TestMachine::SetFact(const std::string& name, const Json::Value& value) {
  std::string path = root_ + "/machine.json";
  Json::Value config;
  {
    std::ifstream in(path);
    Json::CharReaderBuilder builder;
    std::string errors;
    Json::parseFromStream(builder, in, &config, &errors);
  }
  config[name] = value;
  Json::StreamWriterBuilder writer;
  WriteHostFile(path, Json::writeString(writer, config));
  if (win32::Machine* m = win32::CurrentMachine()) m->Reload();
}

std::string BinDir() {
  const char* dir = ::getenv("KX_BIN_DIR");
  return dir ? dir : "build/bin";
}

bool WriteHostFile(const std::string& path, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace kxtest
