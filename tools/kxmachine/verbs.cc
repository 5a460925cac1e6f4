// The machine tool's verbs other than reg and install-product.
#include <signal.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/kxmachine/snapshot.h"
#include "tools/kxmachine/tool.h"
#include "win32/desktop.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/pending.h"
#include "win32/process_spawn.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/services.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

using win32::FromUtf8;
using win32::ToUtf8;

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The machine's own programs, built beside this tool.
std::vector<std::pair<std::u16string, std::string>> StandIns(bool x64) {
  std::string dir = ProgramDir();
  std::vector<std::pair<std::u16string, std::string>> programs;
  auto add = [&](const char16_t* windows_path, const std::string& file) {
    if (FileExists(dir + "/" + file)) programs.emplace_back(windows_path, dir + "/" + file);
  };
  add(u"C:\\Windows\\System32\\regsvr32.exe", "regsvr32.exe");
  add(u"C:\\Windows\\System32\\wbem\\WMIC.exe", "WMIC.exe");
  add(u"C:\\Windows\\explorer.exe", "kxgeneric.exe");
  if (x64) add(u"C:\\Windows\\SysWOW64\\regsvr32.exe", "regsvr32.exe");
  return programs;
}

std::u16string JoinCommandLine(const std::u16string& image, const std::vector<std::string>& args) {
  std::u16string line = win32::QuoteArgument(image);
  for (const std::string& a : args) line += u" " + win32::QuoteArgument(FromUtf8(a));
  return line;
}

bool ResolveForRun(const std::string& program, std::u16string* image) {
  return win32::ResolveProgram(FromUtf8(program), image);
}

// Starts a program as the interactive user would, from the desktop. A program that outlives
// the tool gets no standard handles of it, so that nobody reading the tool's output waits
// for that program.
bool StartAsUser(const std::u16string& image, const std::u16string& command_line,
                 const std::string& user, bool elevated, bool detached,
                 win32::PROCESS_INFORMATION* info, std::string* error) {
  win32::Machine* machine = win32::CurrentMachine();
  win32::SpawnRequest request;
  int null_fd = -1;
  if (detached) {
    null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int& fd : request.std_fds) fd = null_fd;
  }
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{null_fd};
  request.image = image;
  request.command_line = command_line;
  request.user = user.empty() ? machine->InteractiveUser() : user;
  request.elevated = elevated;
  if (!elevated && win32::ImageRequiresAdmin(image)) {
    if (!machine->AcceptsElevation()) {
      *error = "the machine refused the elevation that " + ToUtf8(image) + " asks for";
      return false;
    }
    request.elevated = true;
  }
  if (!win32::Spawn(request, info)) {
    *error = "cannot start " + ToUtf8(image) + " (error " + std::to_string(win32::GetLastError()) + ")";
    return false;
  }
  return true;
}

void ReapOrphans() {
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Waits until no process started by `root`, directly or through others, is alive.
void WaitForTree(win32::DWORD root) {
  for (;;) {
    ReapOrphans();
    std::set<win32::DWORD> tree = {root};
    std::vector<win32::DWORD> frontier = {root};
    bool alive = false;
    while (!frontier.empty()) {
      win32::DWORD id = frontier.back();
      frontier.pop_back();
      for (const win32::proctable::Record& child : win32::proctable::ChildrenOf(id)) {
        if (!tree.insert(child.id).second) continue;
        frontier.push_back(child.id);
        if (win32::proctable::IsLive(child)) alive = true;
      }
    }
    if (!alive) return;
    ::usleep(50 * 1000);
  }
}

std::string Yes(bool b) { return b ? "elevated" : "-"; }

}  // namespace

int VerbCreate(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("create");
  win32::MachineSetup setup;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--arch" && i + 1 < args.size()) {
      setup.arch = args[++i];
    } else {
      return Usage("create");
    }
  }
  if (setup.arch != "x64" && setup.arch != "x86") return Usage("create");
  setup.programs = StandIns(setup.arch == "x64");
  std::string error;
  if (!win32::CreateMachine(args[0], setup, &error)) return Fail(error);
  return kOk;
}

int VerbRun(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("run");
  bool wait_tree = false, elevated = false;
  size_t i = 1;
  for (; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--wait-tree") wait_tree = true;
    else if (args[i] == "--elevated") elevated = true;
    else return Usage("run");
  }
  if (i + 1 >= args.size()) return Usage("run");
  if (!OpenMachine(args[0])) return Fail(args[0] + " is not a machine");
  std::u16string image;
  if (!ResolveForRun(args[i + 1], &image)) return Fail("no program " + args[i + 1] + " in the machine");
  // Orphans of the program (its restarted copies) become ours, so nothing stays a zombie.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 2, args.end());
  win32::PROCESS_INFORMATION info{};
  std::string error;
  if (!StartAsUser(image, JoinCommandLine(image, rest), "", elevated, false, &info, &error)) return Fail(error);
  win32::WaitForSingleObject(info.hProcess, win32::INFINITE);
  win32::DWORD code = 1;
  win32::GetExitCodeProcess(info.hProcess, &code);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  if (wait_tree) WaitForTree(info.dwProcessId);
  return static_cast<int>(code & 0xFF);
}

int VerbPs(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("ps");
  const std::string& what = args[0];
  if (!OpenMachine(args[1])) return Fail(args[1] + " is not a machine");
  if (what == "list") {
    for (const win32::proctable::Record& r : win32::proctable::Live())
      std::printf("%u\t%s\t%s\t%s\t%s\n", r.id, ToUtf8(r.image_name).c_str(), r.user.c_str(),
                  Yes(r.elevated).c_str(), ToUtf8(r.command_line).c_str());
    return kOk;
  }
  if (what == "kill") {
    if (args.size() != 3) return Usage("ps");
    win32::DWORD id = static_cast<win32::DWORD>(std::strtoul(args[2].c_str(), nullptr, 10));
    win32::HANDLE process = win32::OpenProcess(win32::PROCESS_TERMINATE, win32::FALSE, id);
    if (!process) return Fail("no live process " + args[2]);
    bool ok = win32::TerminateProcess(process, 1);
    win32::CloseHandle(process);
    return ok ? kOk : Fail("cannot end process " + args[2]);
  }
  if (what != "start") return Usage("ps");
  std::string user, image_name;
  bool elevated = false;
  std::vector<std::string> rest;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--user" && i + 1 < args.size()) {
      user = args[++i];
    } else if (args[i] == "--elevated") {
      elevated = true;
    } else if (args[i] == "--") {
      rest.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (image_name.empty()) {
      image_name = args[i];
    } else {
      return Usage("ps");
    }
  }
  if (image_name.empty()) return Usage("ps");
  win32::Machine* machine = win32::CurrentMachine();
  if (!user.empty() && machine->UserSid(user).empty()) return Fail("no user " + user + " on the machine");
  std::u16string image;
  if (!win32::ResolveProgram(FromUtf8(image_name), &image)) {
    // Not a program of the machine: the generic stand-in under that name.
    std::u16string name = FromUtf8(image_name);
    if (name.find_first_of(u"\\/:") != std::u16string::npos) return Fail("no program " + image_name);
    std::string generic = ProgramDir() + "/kxgeneric.exe";
    if (!FileExists(generic)) return Fail("the generic stand-in program is not built");
    image = u"C:\\ProgramData\\StandIns\\" + name;
    std::string host;
    if (!win32::HostPathOf(image, &host, nullptr)) return Fail("cannot place " + image_name);
    std::string dir = host.substr(0, host.rfind('/'));
    ::mkdir(dir.c_str(), 0777);
    if (!FileExists(host) && !win32::CopyFileW(FromUtf8("Z:" + generic).c_str(), image.c_str(), win32::TRUE))
      return Fail("cannot place " + image_name);
  }
  win32::PROCESS_INFORMATION info{};
  std::string error;
  if (!StartAsUser(image, JoinCommandLine(image, rest), user, elevated, true, &info, &error)) return Fail(error);
  std::printf("%u\n", info.dwProcessId);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  return kOk;
}

int VerbServices(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("services");
  if (!OpenMachine(args[0])) return Fail(args[0] + " is not a machine");
  for (const win32::ServiceRecord& s : win32::ListServices())
    std::printf("%s\t%s\t%s\t%u\t%s\n", ToUtf8(s.name).c_str(), ToUtf8(s.display_name).c_str(),
                ToUtf8(s.image_path).c_str(), s.start_type, s.marked_for_delete ? "marked for deletion" : "-");
  return kOk;
}

int VerbPending(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("pending");
  if (!OpenMachine(args[0])) return Fail(args[0] + " is not a machine");
  for (const win32::PendingOperation& op : win32::ReadPendingOperations()) {
    if (op.target.empty()) {
      std::printf("delete %s\n", ToUtf8(op.source).c_str());
    } else {
      std::printf("move %s -> %s%s\n", ToUtf8(op.source).c_str(), ToUtf8(op.target).c_str(),
                  op.replace ? " (replace)" : "");
    }
  }
  return kOk;
}

int VerbReboot(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("reboot");
  if (!OpenMachine(args[0])) return Fail(args[0] + " is not a machine");
  for (const win32::proctable::Record& r : win32::proctable::Live()) {
    win32::proctable::SetExitCode(r.id, 0xC000013A & 0xFF);
    ::kill(static_cast<pid_t>(r.host_pid), SIGKILL);
  }
  for (const win32::proctable::Record& r : win32::proctable::Live()) {
    // Wait for the ended processes to be gone before their files are touched.
    for (int i = 0; i < 200 && win32::proctable::IsLive(r); ++i) ::usleep(10 * 1000);
  }
  for (const win32::PendingOperation& op : win32::ReadPendingOperations()) {
    std::string source, target;
    if (!win32::HostPathOf(op.source, &source, nullptr)) continue;
    if (op.target.empty()) {
      struct stat st;
      if (::lstat(source.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) ::rmdir(source.c_str());
      else ::unlink(source.c_str());
    } else if (win32::HostPathOf(op.target, &target, nullptr)) {
      if (op.replace || ::access(target.c_str(), F_OK) != 0) ::rename(source.c_str(), target.c_str());
    }
  }
  win32::ClearPendingOperations();
  win32::RemoveMarkedServices(true);
  std::u16string explorer = u"C:\\Windows\\explorer.exe";
  if (win32::GetFileAttributesW(explorer.c_str()) != win32::INVALID_FILE_ATTRIBUTES) {
    win32::PROCESS_INFORMATION info{};
    std::string error;
    if (!StartAsUser(explorer, win32::QuoteArgument(explorer), "", false, true, &info, &error)) return Fail(error);
    win32::CloseHandle(info.hProcess);
    win32::CloseHandle(info.hThread);
  }
  return kOk;
}

int VerbLog(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("log");
  std::unique_ptr<win32::Machine> machine = win32::Machine::Open(args[0]);
  if (!machine) return Fail(args[0] + " is not a machine");
  for (const Json::Value& e : win32::ReadDesktopLog(machine->root())) {
    std::string kind = e["kind"].asString();
    std::string line = e["image"].asString() + " " + kind + ":";
    if (kind == "message_box") {
      line += " [" + e["caption"].asString() + "] " + e["text"].asString();
    } else if (kind == "shell_execute") {
      line += " " + e["verb"].asString() + " " + e["file"].asString() + " " + e["parameters"].asString();
      line += e["ok"].asBool() ? "" : " (failed: " + std::to_string(e["error"].asUInt()) + ")";
    } else if (e.isMember("text")) {
      line += " " + e["text"].asString();
    } else if (e.isMember("command_line")) {
      line += " " + e["command_line"].asString();
    }
    std::printf("%s\n", line.c_str());
  }
  return kOk;
}

int VerbSnapshot(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("snapshot");
  std::string error;
  if (!TakeSnapshot(args[0], args[1], &error)) return Fail(error);
  return kOk;
}

int VerbDiff(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("diff");
  std::vector<std::string> changes;
  std::string error;
  if (!DiffSnapshot(args[0], args[1], &changes, &error)) return Fail(error);
  for (const std::string& c : changes) std::printf("%s\n", c.c_str());
  return kOk;
}

int VerbServe(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("serve");
  std::string server = ProgramDir() + "/kxserve";
  if (!FileExists(server)) return Fail("the services program is not built");
  std::vector<std::string> argv_text = {server, "--machine", args[0]};
  argv_text.insert(argv_text.end(), args.begin() + 1, args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(server.c_str(), argv.data());
  return Fail("cannot start " + server + ": " + std::strerror(errno));
}

}  // namespace kxmachine
