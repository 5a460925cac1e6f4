// For tests: a throw-away machine with the maker's services running for it, as a kxserve
// child process in one fault mode. The test process is bound to the machine and sees the
// network map that the services wrote.
#pragma once

#include <fcntl.h>
#include <json/reader.h>
#include <json/value.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/machine.h"

extern char** environ;

namespace kxserve {

class ServedMachine {
 public:
  explicit ServedMachine(const std::string& fault = "none") {
    if (machine_.ok()) Start(fault);
  }
  ~ServedMachine() { Stop(); }
  ServedMachine(const ServedMachine&) = delete;
  ServedMachine& operator=(const ServedMachine&) = delete;

  bool ready() const { return ready_; }
  kxtest::TestMachine& machine() { return machine_; }
  std::string log_path() const { return machine_.root() + "/log/received.jsonl"; }

  // The requests the services logged, in arrival order.
  std::vector<Json::Value> Received() const {
    std::vector<Json::Value> entries;
    std::istringstream lines(kxtest::ReadHostFile(log_path()));
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(lines, line)) {
      Json::Value entry;
      std::string errors;
      std::istringstream in(line);
      if (Json::parseFromStream(builder, in, &entry, &errors)) entries.push_back(entry);
    }
    return entries;
  }

  // Stops the services and starts them again in the given mode; true when they are ready.
  bool Restart(const std::string& fault) {
    Stop();
    ready_ = false;
    Start(fault);
    return ready_;
  }

  // Ends the services with SIGTERM; their wait status, or -1 when they were not running.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = -1;
    // A server that does not end within the limit is killed, so that a test never hangs.
    for (int i = 0; i < 1000; ++i) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        pid_ = -1;
        return status;
      }
      ::usleep(10 * 1000);
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return -1;
  }

 private:
  void Start(const std::string& fault) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string program = kxtest::BinDir() + "/kxserve";
    std::vector<std::string> args = {program, "--machine", machine_.root(), "--fault", fault};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (pid_ > 0) ready_ = ReadReady(out[0]);
    ::close(out[0]);
    if (ready_) win32::CurrentMachine()->Reload();
  }

  // Waits (up to a limit) for the one line "ready".
  static bool ReadReady(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string got;
    while (got.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p = {fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[64];
      ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) return false;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got == "ready\n";
  }

  kxtest::TestMachine machine_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace kxserve
