// A throw-away machine for one test, bound to the test process while it lives.
#pragma once

#include <string>
#include <string_view>

#include "win32/machine.h"

namespace kxtest {

struct TestProcess {
  bool elevated = true;
  int bits = 32;
  std::string user;  // empty: the machine's interactive user
};

class TestMachine {
 public:
  explicit TestMachine(const win32::MachineSetup& setup = {}, const TestProcess& process = {});
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  const std::string& root() const { return root_; }
  bool ok() const { return ok_; }
  // Host path of a Windows path of this machine (C:\... only), without case lookup.
  std::string Host(std::u16string_view windows_path) const;
  // Rewrites machine.json with one more fact, and reloads it.
  void SetFact(const std::string& name, const Json::Value& value);

 private:
  std::string root_;
  bool ok_ = false;
};

// The folder of the built programs (uninstall.exe, kxmachine, stand-ins).
std::string BinDir();
// Writes a host file with the given bytes, creating parent folders.
bool WriteHostFile(const std::string& path, std::string_view bytes);
std::string ReadHostFile(const std::string& path);

}  // namespace kxtest
