#include "win32/processes.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "win32/errors.h"
#include "win32/files.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/process_spawn.h"
#include "win32/process_table.h"
#include "win32/resources.h"
#include "win32/unicode.h"

extern char** environ;

namespace win32 {
namespace {

constexpr const char* kEnvProcessId = "KX_PROCESS_ID";
constexpr const char* kEnvCommandLine = "KX_COMMAND_LINE";

std::mutex g_self_mutex;
ProcessSelf* g_self = nullptr;
// Every identity this process had stays until exit: other threads may still read one.
std::vector<std::unique_ptr<ProcessSelf>>* g_selves = new std::vector<std::unique_ptr<ProcessSelf>>();
std::vector<std::string>* g_argv = nullptr;

std::string OwnHostImage() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  buffer[n] = 0;
  return buffer;
}

std::u16string BaseName(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string CommandLineFromArgv(const std::u16string& image, const std::vector<std::string>& argv) {
  std::u16string line = QuoteArgument(image);
  for (size_t i = 1; i < argv.size(); ++i) line += u" " + QuoteArgument(FromUtf8(argv[i]));
  return line;
}

// Enters this process; the caller holds g_self_mutex.
ProcessSelf* EnterLocked(const ProcessStartup& startup) {
  auto* self = new ProcessSelf();
  g_selves->emplace_back(self);
  Machine* machine = CurrentMachine();
  std::string host_image = OwnHostImage();
  int64_t host_pid = ::getpid();
  int64_t host_start = proctable::HostStartTime(host_pid);

  if (const char* id_text = std::getenv(kEnvProcessId); id_text && machine) {
    DWORD id = static_cast<DWORD>(std::strtoul(id_text, nullptr, 10));
    std::optional<proctable::Record> record = proctable::Get(id);
    if (record && !record->ended && (record->host_pid == 0 || record->host_pid == host_pid)) {
      proctable::SetHost(id, host_pid, host_start);
      self->id = id;
      self->user = record->user;
      self->sid = machine->UserSid(record->user);
      self->elevated = record->elevated;
      self->bits = record->bits;
      self->image_path = record->image_path;
      self->command_line = record->command_line;
    }
  }
  ::unsetenv(kEnvProcessId);
  ::unsetenv(kEnvCommandLine);
  if (self->id) return self;

  self->image_path = WindowsPathOf(host_image);
  self->offline = startup.offline;
  self->user = !startup.user.empty() ? startup.user : machine ? machine->InteractiveUser() : "alice";
  self->sid = machine ? machine->UserSid(self->user) : std::string();
  ImageFacts facts = ReadImageFacts(host_image);
  bool accepts = machine && machine->AcceptsElevation();
  self->elevated = startup.elevated || (startup.elevated_from_image && facts.requires_admin && accepts);
  bool native64 = !machine || machine->Is64Bit();
  self->bits = !native64 ? 32 : startup.bits ? startup.bits : facts.bits ? facts.bits : 64;
  self->command_line = CommandLineFromArgv(self->image_path, g_argv ? *g_argv : std::vector<std::string>{});
  if (machine && startup.listed) {
    proctable::Record r;
    r.host_pid = host_pid;
    r.host_start = host_start;
    r.image_path = self->image_path;
    r.image_name = BaseName(self->image_path);
    r.user = self->user;
    r.elevated = self->elevated;
    r.bits = self->bits;
    r.command_line = self->command_line;
    self->id = proctable::Insert(r);
  }
  return self;
}

// A process handle. The process may be our own child, which we then reap.
class ProcessObject : public KernelObject {
 public:
  ProcessObject(DWORD id, int64_t host_pid, int64_t host_start, DWORD access, bool child)
      : id_(id), host_pid_(host_pid), host_start_(host_start), access_(access), child_(child) {}

  DWORD id() const { return id_; }
  int64_t host_pid() const { return host_pid_; }
  int64_t host_start() const { return host_start_; }
  DWORD access() const { return access_; }

  bool Alive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return false;
    if (child_) {
      int status = 0;
      pid_t r = ::waitpid(static_cast<pid_t>(host_pid_), &status, WNOHANG);
      if (r == static_cast<pid_t>(host_pid_)) {
        Reaped(status);
        return false;
      }
    }
    return proctable::HostStartTime(host_pid_) == host_start_;
  }

  DWORD Wait(DWORD milliseconds) override {
    if (!Alive()) return WAIT_OBJECT_0;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(host_pid_), 0));
    if (fd < 0 || proctable::HostStartTime(host_pid_) != host_start_) {
      if (fd >= 0) ::close(fd);
      // Gone between the check and the open, or pidfd is unavailable: poll.
      for (DWORD waited = 0; Alive(); waited += 10) {
        if (milliseconds != INFINITE && waited >= milliseconds) return WAIT_TIMEOUT;
        ::usleep(10000);
      }
      return WAIT_OBJECT_0;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int timeout = milliseconds == INFINITE ? -1
                  : milliseconds > static_cast<DWORD>(INT_MAX) ? INT_MAX
                                                               : static_cast<int>(milliseconds);
    int n;
    do {
      n = ::poll(&p, 1, timeout);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n == 0) return WAIT_TIMEOUT;
    Alive();  // reaps a child
    return WAIT_OBJECT_0;
  }

  // The exit code once ended: recorded by the process itself or its terminator, else the
  // host's exit status.
  DWORD ExitCode() {
    if (Alive()) return STILL_ACTIVE;
    if (std::optional<proctable::Record> r = proctable::Get(id_); r && r->exit_code)
      return *r->exit_code;
    std::lock_guard<std::mutex> lock(mutex_);
    return host_exit_;
  }

 private:
  void Reaped(int status) {
    reaped_ = true;
    host_exit_ = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 1;
    proctable::SetExitCode(id_, host_exit_);
  }

  DWORD id_;
  int64_t host_pid_;
  int64_t host_start_;
  DWORD access_;
  bool child_;
  std::mutex mutex_;
  bool reaped_ = false;
  DWORD host_exit_ = 0;
};

// Host pids of the children this process started, so that any handle to them reaps.
std::mutex g_children_mutex;
std::map<int64_t, int64_t>* g_children = new std::map<int64_t, int64_t>();

bool IsOwnChild(int64_t host_pid, int64_t host_start) {
  std::lock_guard<std::mutex> lock(g_children_mutex);
  auto it = g_children->find(host_pid);
  return it != g_children->end() && it->second == host_start;
}

std::string EnvEntry(const char* name, const std::string& value) {
  return std::string(name) + "=" + value;
}

bool FileExists(const std::u16string& full) {
  DWORD a = GetFileAttributesW(full.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::u16string WithExe(std::u16string name) {
  std::u16string base = BaseName(name);
  if (base.find(u'.') == std::u16string::npos) name += u".exe";
  return name;
}

std::vector<std::u16string> SearchFolders() {
  std::vector<std::u16string> folders;
  std::u16string image = CurrentProcess().image_path;
  size_t slash = image.rfind(u'\\');
  if (slash != std::u16string::npos) folders.push_back(image.substr(0, slash));
  char16_t cwd[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, cwd);
  if (n && n <= MAX_PATH) folders.emplace_back(cwd, n);
  folders.push_back(u"C:\\Windows\\System32");
  folders.push_back(u"C:\\Windows");
  folders.push_back(u"C:\\Windows\\System32\\wbem");
  folders.push_back(u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0");
  return folders;
}

DWORD ErrnoToError(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace

bool EnterProcess(int argc, char** argv) {
  std::lock_guard<std::mutex> lock(g_self_mutex);
  if (g_self) return g_self->id != 0;
  g_argv = new std::vector<std::string>(argv, argv + argc);
  g_self = EnterLocked(ProcessStartup());
  return g_self->id != 0;
}

bool EnterProcessAs(const ProcessStartup& startup) {
  std::lock_guard<std::mutex> lock(g_self_mutex);
  // A test may enter again after binding another machine.
  g_self = EnterLocked(startup);
  return g_self->id != 0;
}

const ProcessSelf& CurrentProcess() {
  {
    std::lock_guard<std::mutex> lock(g_self_mutex);
    if (!g_self) g_self = EnterLocked(ProcessStartup());
  }
  return *g_self;
}

int LeaveProcess(int exit_code) {
  DWORD id = CurrentProcess().id;
  if (id) proctable::SetExitCode(id, static_cast<DWORD>(exit_code));
  return exit_code;
}

void ExitProcess(UINT exit_code) {
  LeaveProcess(static_cast<int>(exit_code));
  std::fflush(nullptr);
  ::_exit(static_cast<int>(exit_code & 0xFF));
}

DWORD GetCurrentProcessId() { return CurrentProcess().id; }

HANDLE GetCurrentProcess() { return PseudoCurrentProcess(); }

LPWSTR GetCommandLineW() {
  static std::u16string* line = new std::u16string(CurrentProcess().command_line);
  return line->data();
}

std::vector<std::u16string> CommandLineToArgs(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  // The program name: up to the closing quote, or the first blank; no escapes.
  while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
  if (i < line.size()) {
    std::u16string name;
    if (line[i] == u'"') {
      ++i;
      while (i < line.size() && line[i] != u'"') name += line[i++];
      if (i < line.size()) ++i;
    } else {
      while (i < line.size() && line[i] != u' ' && line[i] != u'\t') name += line[i++];
    }
    args.push_back(name);
  }
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    bool quoted = false;
    while (i < line.size()) {
      char16_t c = line[i];
      if (!quoted && (c == u' ' || c == u'\t')) break;
      if (c == u'\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == u'\\') ++n, ++i;
        if (i < line.size() && line[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(n, u'\\');
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::u16string QuoteArgument(std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string_view::npos)
    return std::u16string(arg);
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') out.append(backslashes * 2 + 1, u'\\');
    else out.append(backslashes, u'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, u'\\');
  out += u'"';
  return out;
}

std::u16string CommandLineArguments(std::u16string_view line) {
  size_t i = 0;
  if (i < line.size() && line[i] == u'"') {
    ++i;
    while (i < line.size() && line[i] != u'"') ++i;
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && line[i] > u' ') ++i;
  }
  while (i < line.size() && line[i] <= u' ' && line[i] != 0) ++i;
  return std::u16string(line.substr(i));
}

bool ResolveProgram(std::u16string_view name, std::u16string* full) {
  if (name.empty()) return false;
  std::u16string wanted = WithExe(std::u16string(name));
  bool has_path = wanted.find_first_of(u"\\/:") != std::u16string::npos;
  if (has_path) {
    DWORD error;
    std::u16string f;
    if (!FullWindowsPath(wanted, &f, &error) || !FileExists(f)) return false;
    *full = f;
    return true;
  }
  for (const std::u16string& folder : SearchFolders()) {
    std::u16string candidate = folder + u"\\" + wanted;
    DWORD error;
    std::u16string f;
    if (FullWindowsPath(candidate, &f, &error) && FileExists(f)) {
      *full = f;
      return true;
    }
  }
  return false;
}

bool ResolveCommandLineProgram(std::u16string_view line, std::u16string* full) {
  size_t i = 0;
  while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
  if (i < line.size() && line[i] == u'"') {
    size_t end = line.find(u'"', i + 1);
    std::u16string_view name = line.substr(i + 1, end == std::u16string_view::npos ? end : end - i - 1);
    return ResolveProgram(name, full);
  }
  size_t end = i;
  while (true) {
    end = line.find_first_of(u" \t", end);
    std::u16string_view candidate = line.substr(i, end == std::u16string_view::npos ? end : end - i);
    if (ResolveProgram(candidate, full)) return true;
    if (end == std::u16string_view::npos) return false;
    while (end < line.size() && (line[end] == u' ' || line[end] == u'\t')) ++end;
    if (end >= line.size()) return false;
  }
}

bool ImageRequiresAdmin(const std::u16string& image) {
  std::string host;
  return HostPathOf(image, &host, nullptr) && ReadImageFacts(host).requires_admin;
}

bool Spawn(const SpawnRequest& request, PROCESS_INFORMATION* info) {
  Machine* machine = CurrentMachine();
  if (!machine) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  std::string host_image;
  DWORD error = ERROR_SUCCESS;
  if (!HostPathOf(request.image, &host_image, &error)) {
    SetLastError(error);
    return false;
  }
  ImageFacts facts = ReadImageFacts(host_image);
  if (!facts.executable) {
    SetLastError(::access(host_image.c_str(), F_OK) == 0 ? ERROR_BAD_EXE_FORMAT : ERROR_FILE_NOT_FOUND);
    return false;
  }
  std::string host_dir;
  if (!request.directory.empty()) {
    if (!HostPathOf(request.directory, &host_dir, &error)) {
      SetLastError(error);
      return false;
    }
    DWORD a = GetFileAttributesW(request.directory.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
  }
  const ProcessSelf& self = CurrentProcess();
  proctable::Record record;
  record.parent = request.parent;
  record.image_path = request.image;
  record.image_name = BaseName(request.image);
  record.user = request.user.empty() ? self.user : request.user;
  record.elevated = request.elevated;
  record.bits = !machine->Is64Bit() ? 32 : facts.bits ? facts.bits : 64;
  record.command_line = request.command_line;
  DWORD id = proctable::Insert(record);
  if (!id) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }

  std::vector<std::string> args = {host_image};
  std::vector<std::u16string> parsed = CommandLineToArgs(request.command_line);
  for (size_t i = 1; i < parsed.size(); ++i) args.push_back(ToUtf8(parsed[i]));
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "KX_PROCESS_ID=", 14) == 0 || std::strncmp(*e, "KX_COMMAND_LINE=", 16) == 0 ||
        std::strncmp(*e, "KX_MACHINE=", 11) == 0)
      continue;
    env.push_back(*e);
  }
  env.push_back(EnvEntry("KX_MACHINE", machine->root()));
  env.push_back(EnvEntry(kEnvProcessId, std::to_string(id)));
  env.push_back(EnvEntry(kEnvCommandLine, ToUtf8(request.command_line)));
  std::vector<char*> argv_ptrs, env_ptrs;
  for (std::string& a : args) argv_ptrs.push_back(a.data());
  argv_ptrs.push_back(nullptr);
  for (std::string& e : env) env_ptrs.push_back(e.data());
  env_ptrs.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!host_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, host_dir.c_str());
  for (int fd = 0; fd < 3; ++fd)
    if (request.std_fds[fd] >= 0) posix_spawn_file_actions_adddup2(&actions, request.std_fds[fd], fd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling and its own process group, so that a
  // terminal's Ctrl+C to a tool does not reach the machine's programs.
  sigset_t all;
  sigemptyset(&all);
  posix_spawnattr_setsigmask(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, host_image.c_str(), &actions, &attr, argv_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    proctable::SetExitCode(id, 1);
    SetLastError(ErrnoToError(rc));
    return false;
  }
  int64_t start = proctable::HostStartTime(pid);
  proctable::SetHost(id, pid, start);
  {
    std::lock_guard<std::mutex> lock(g_children_mutex);
    (*g_children)[pid] = start;
  }
  if (info) {
    auto object = std::make_shared<ProcessObject>(id, pid, start, PROCESS_ALL_ACCESS, true);
    info->hProcess = InsertHandle(object);
    info->hThread = InsertHandle(object);  // the primary thread ends with the process
    info->dwProcessId = id;
    info->dwThreadId = id + 1;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR current_directory,
                    LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information) {
  if (!application_name && !command_line) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SpawnRequest request;
  if (application_name) {
    DWORD error;
    if (!FullWindowsPath(application_name, &request.image, &error) || !FileExists(request.image)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
  } else if (!ResolveCommandLineProgram(command_line, &request.image)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  request.command_line = command_line ? std::u16string(command_line) : QuoteArgument(request.image);
  if (current_directory) request.directory = current_directory;
  const ProcessSelf& self = CurrentProcess();
  request.parent = self.id;
  request.elevated = self.elevated;
  if (!self.elevated && !self.offline && ImageRequiresAdmin(request.image)) {
    SetLastError(ERROR_ELEVATION_REQUIRED);
    return FALSE;
  }
  if (startup_info && (startup_info->dwFlags & STARTF_USESTDHANDLES)) {
    HANDLE handles[3] = {startup_info->hStdInput, startup_info->hStdOutput, startup_info->hStdError};
    for (int i = 0; i < 3; ++i) {
      if (!handles[i] || handles[i] == INVALID_HANDLE_VALUE) continue;
      std::shared_ptr<KernelObject> object = LookupHandle(handles[i]);
      if (object) request.std_fds[i] = object->HostFd();
    }
  }
  return Spawn(request, process_information) ? TRUE : FALSE;
}

HANDLE OpenProcess(DWORD desired_access, BOOL, DWORD process_id) {
  if (process_id == 0 || process_id == 4) {
    SetLastError(process_id == 0 ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::optional<proctable::Record> record = proctable::Get(process_id);
  if (!record || !proctable::IsLive(*record)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const ProcessSelf& self = CurrentProcess();
  bool privileged = self.elevated || self.offline;
  bool other_user = !EqualsNoCase(FromUtf8(record->user), FromUtf8(self.user));
  DWORD limited = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
  if (!privileged && (record->elevated || other_user) && (desired_access & ~limited)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  bool child = IsOwnChild(record->host_pid, record->host_start);
  return InsertHandle(std::make_shared<ProcessObject>(record->id, record->host_pid,
                                                      record->host_start, desired_access, child));
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
  if (process == PseudoCurrentProcess()) ExitProcess(exit_code);
  auto object = LookupHandleAs<ProcessObject>(process);
  if (!object) return FALSE;
  if (!(object->access() & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!object->Alive()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  proctable::SetExitCode(object->id(), exit_code);
  if (::kill(static_cast<pid_t>(object->host_pid()), SIGKILL) != 0 && errno != ESRCH) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  if (!exit_code) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process == PseudoCurrentProcess()) {
    *exit_code = STILL_ACTIVE;
    return TRUE;
  }
  auto object = LookupHandleAs<ProcessObject>(process);
  if (!object) return FALSE;
  *exit_code = object->ExitCode();
  return TRUE;
}

DWORD GetProcessId(HANDLE process) {
  if (process == PseudoCurrentProcess()) return GetCurrentProcessId();
  auto object = LookupHandleAs<ProcessObject>(process);
  return object ? object->id() : 0;
}

}  // namespace win32
