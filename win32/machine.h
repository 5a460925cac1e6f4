// The machine: a folder holding one Windows computer's drives, registry, processes and
// desktop. A process finds it from KX_MACHINE, or uses the default machine.
#pragma once

#include <json/value.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "win32/store.h"
#include "win32/types.h"

namespace win32 {

struct MachineUser {
  std::string name;
  std::string sid;
};

class Machine {
 public:
  // Opens an existing machine folder; null when it is not one.
  static std::unique_ptr<Machine> Open(const std::string& root);

  const std::string& root() const { return root_; }
  Store* store() const { return store_.get(); }

  // machine.json as read at open (or at the last Reload).
  Json::Value Config() const;
  void Reload();

  std::string WindowsVersion() const;  // "major.minor.build"
  bool Is64Bit() const;
  UINT AnsiCodePage() const;
  std::string InteractiveUser() const;
  std::vector<MachineUser> Users() const;
  // The SID of a user of the machine, empty when unknown.
  std::string UserSid(std::string_view user) const;
  bool AcceptsElevation() const;
  bool IsExportMissing(std::string_view module, std::string_view name) const;
  // machine.json "deny_write": folders (Windows paths) whose access list lets no one
  // create, change or delete anything inside them.
  bool DeniesWrite(std::u16string_view full_path) const;

  std::string DriveDir(char letter) const;  // host folder of a drive, "" when absent
  std::string RunDir() const { return root_ + "/run"; }
  std::string LogDir() const { return root_ + "/log"; }

 private:
  Machine() = default;
  std::string root_;
  std::unique_ptr<Store> store_;
  mutable std::mutex config_mutex_;
  Json::Value config_;
  std::vector<std::u16string> deny_write_;  // folded full paths
};

// The machine this process works on: bound explicitly, from KX_MACHINE, or the default
// machine (created on first use). Never null after a successful bind; null when the
// machine cannot be opened.
Machine* CurrentMachine();
// Binds this process (and the processes it starts) to a machine folder.
bool BindMachine(const std::string& root);
std::string DefaultMachineRoot();

struct MachineSetup {
  std::string arch = "x64";            // "x64" or "x86"
  std::string windows_version = "10.0.19045";
  std::string user = "alice";
  // Programs to place in the machine: Windows path and the host file to copy.
  std::vector<std::pair<std::u16string, std::string>> programs;
};

// Makes a new machine with the Windows skeleton. Fails when the folder holds a machine.
bool CreateMachine(const std::string& root, const MachineSetup& setup, std::string* error);

// Paths of the skeleton, for a user of the machine.
std::u16string UserProfileDir(std::string_view user);

}  // namespace win32
