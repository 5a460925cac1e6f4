// The machine's process table in registry.db, and the host side of liveness.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "win32/types.h"

namespace win32::proctable {

struct Record {
  DWORD id = 0;
  int64_t host_pid = 0;
  int64_t host_start = 0;
  DWORD parent = 0;
  std::u16string image_path;
  std::u16string image_name;
  std::string user;
  bool elevated = false;
  int bits = 64;
  std::u16string command_line;
  std::vector<std::u16string> modules;  // Windows paths of loaded files
  std::optional<DWORD> exit_code;
  bool ended = false;
};

// Start time of a host process in clock ticks since boot; 0 when it does not exist or has
// already exited (a zombie counts as ended).
int64_t HostStartTime(int64_t host_pid);
bool IsLive(const Record& record);

// Inserts a record with a new Windows id (a multiple of 4); 0 on failure.
DWORD Insert(Record record);
std::optional<Record> Get(DWORD id);
// The record of a live host process, if it has one.
std::optional<Record> FindByHost(int64_t host_pid, int64_t host_start);
// Live processes in start order.
std::vector<Record> Live();
// Every process ever started whose parent is `parent`, live or ended.
std::vector<Record> ChildrenOf(DWORD parent);
bool SetHost(DWORD id, int64_t host_pid, int64_t host_start);
bool SetExitCode(DWORD id, DWORD exit_code);
bool SetModules(DWORD id, const std::vector<std::u16string>& modules);

// True when the file (by device and inode) is the image or a loaded module of a live
// machine process. Cached and refreshed when the table changes.
bool IsFileInUse(const struct stat& st);

}  // namespace win32::proctable
