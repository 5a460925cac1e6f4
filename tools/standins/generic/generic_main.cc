// A generic program of the machine: it carries whatever image name it is copied under
// (the product's programs, explorer.exe, vmtoolsd.exe, ...) and runs until it is ended.
//   --load PATH       keeps PATH loaded as a module (the file is in use while it runs)
//   --exit-after MS   ends by itself after MS milliseconds
//   --exit-code N     the exit code when it ends by itself (default 0)
// Its start is recorded in the desktop log with its whole command line.
#include <unistd.h>

#include <string>
#include <vector>

#include "win32/desktop.h"
#include "win32/modules.h"
#include "win32/processes.h"
#include "win32/unicode.h"

int main(int argc, char** argv) {
  win32::EnterProcess(argc, argv);
  std::u16string line = win32::GetCommandLineW();
  Json::Value entry;
  entry["kind"] = "program";
  entry["command_line"] = win32::ToUtf8(line);
  win32::AppendDesktopLog(entry);
  std::vector<std::u16string> args = win32::CommandLineToArgs(line);
  long exit_after = -1;
  int exit_code = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == u"--load" && i + 1 < args.size()) {
      win32::LoadLibraryW(args[++i].c_str());
    } else if (args[i] == u"--exit-after" && i + 1 < args.size()) {
      exit_after = std::stol(win32::ToUtf8(args[++i]));
    } else if (args[i] == u"--exit-code" && i + 1 < args.size()) {
      exit_code = std::stoi(win32::ToUtf8(args[++i]));
    }
  }
  if (exit_after >= 0) {
    ::usleep(static_cast<useconds_t>(exit_after) * 1000);
    return win32::LeaveProcess(exit_code);
  }
  for (;;) ::pause();
}
