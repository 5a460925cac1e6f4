// Starting a machine process on the host: the one path behind CreateProcessW,
// ShellExecuteW(Ex) and CreateProcessWithTokenW.
#pragma once

#include <string>

#include "win32/processes.h"
#include "win32/types.h"

namespace win32 {

struct SpawnRequest {
  std::u16string image;         // full Windows path of the program
  std::u16string command_line;  // the whole command line the program will see
  std::u16string directory;     // current directory; empty: the caller's
  std::string user;             // empty: the caller's user
  bool elevated = false;
  DWORD parent = 0;
  int std_fds[3] = {-1, -1, -1};  // -1: inherit the caller's
};

// Resolves a program as Windows does: a path (".exe" appended when the name has no
// extension), else the application folder, the current folder, System32, the Windows
// folder and PATH. The result is the full Windows path of an existing file.
bool ResolveProgram(std::u16string_view name, std::u16string* full);
// Resolves the program named at the start of a command line (quoted, or the shortest
// run of blank-separated words that names an existing program).
bool ResolveCommandLineProgram(std::u16string_view command_line, std::u16string* full);

// Starts the process; fills the information record (handles owned by the caller).
bool Spawn(const SpawnRequest& request, PROCESS_INFORMATION* info);

// Whether starting this image from the calling process needs an elevation prompt.
bool ImageRequiresAdmin(const std::u16string& image);

}  // namespace win32
