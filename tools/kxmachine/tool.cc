#include "tools/kxmachine/tool.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

#include "win32/machine.h"
#include "win32/processes.h"

namespace kxmachine {

const std::vector<Verb>& Verbs() {
  static const std::vector<Verb> verbs = {
      {"create", "DIR [--arch x64|x86]",
       "Makes a new machine in DIR with the Windows skeleton: drives, users, the registry keys\n"
       "Windows always has, and the machine's stand-in system programs.",
       VerbCreate},
      {"run", "DIR [--wait-tree] [--elevated] -- PROGRAM [ARGS...]",
       "Runs a Windows program of the machine (a C:\\ path or a name found as Windows finds it)\n"
       "as the interactive user would start it; a program whose manifest asks for\n"
       "administrator rights is elevated when the machine accepts elevation. The exit code is\n"
       "the program's. --wait-tree also waits for every process it started, and theirs.\n"
       "--elevated starts it elevated without a prompt, as from an administrator's console.",
       VerbRun},
      {"reg", "query DIR KEY [VALUE] | import DIR FILE | export DIR KEY FILE",
       "query: prints a key's values (or one value); exit code 1 when it does not exist.\n"
       "import: applies a regedit file (UTF-8 or UTF-16).\n"
       "export: writes a key tree as a regedit 5.00 file (UTF-16LE with byte-order mark).\n"
       "Keys are written with their root's full name; paths are those of the stored data, so\n"
       "WOW6432Node appears where 32-bit data lives.",
       VerbReg},
      {"ps", "list DIR | start DIR [--user NAME] [--elevated] IMAGE-NAME [-- ARGS...] | kill DIR ID",
       "list: one live process a line: id, image name, user, elevated or not, command line.\n"
       "start: starts the generic stand-in program under that image name (or the program of\n"
       "that path or name when the machine has it) and prints its id.\n"
       "kill: ends a process with exit code 1.",
       VerbPs},
      {"services", "DIR", "Lists the services: name, display name, program, start type, deletion mark.",
       VerbServices},
      {"pending", "DIR", "Lists the file operations pending until the next restart, one a line.",
       VerbPending},
      {"reboot", "DIR",
       "Restarts the machine: ends every process, carries out the pending file operations,\n"
       "removes services marked for deletion and starts explorer.exe again.",
       VerbReboot},
      {"log", "DIR", "Prints the desktop log: message boxes, debug texts, shell executions.", VerbLog},
      {"snapshot", "DIR NAME", "Records the machine's files and registry as snapshot NAME.",
       VerbSnapshot},
      {"diff", "DIR NAME", "Prints what changed in files and registry since snapshot NAME, one change a line.",
       VerbDiff},
      {"serve", "DIR [--fault MODE] [--port N]",
       "Runs the maker's services for the machine in the foreground until stopped; writes the\n"
       "machine's network map and trusted CA first and prints 'ready'.",
       VerbServe},
      {"install-product",
       "DIR [--running] [--neighbours] [--no-display-name] [--channel CH] [--shared-list IDS]",
       "Installs the product as its own installer would: files under the install root, the\n"
       "install record, uninstall entry, context-menu verbs, service, Office add-ins, shortcuts,\n"
       "Start-menu group, user data and user token.\n"
       "--running         leaves the product's programs running (and Office holding an add-in)\n"
       "--neighbours      adds other programs and the maker's second product around it\n"
       "--no-display-name leaves DisplayName out of the uninstall entry (a silent removal\n"
       "                  goes on only then)\n"
       "--channel CH      the install channel (default 100234)\n"
       "--shared-list IDS the shared product list, ids joined with \",\"",
       VerbInstallProduct},
  };
  return verbs;
}

bool OpenMachine(const std::string& dir) {
  if (!win32::BindMachine(dir)) return false;
  win32::ProcessStartup startup;
  startup.offline = true;
  startup.elevated = true;
  startup.elevated_from_image = false;
  startup.listed = false;
  win32::EnterProcessAs(startup);
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "kxmachine: %s\n", message.c_str());
  return kFailure;
}

int Usage(const char* verb) {
  for (const Verb& v : Verbs()) {
    if (std::string(v.name) == verb) {
      std::fprintf(stderr, "usage: kxmachine %s %s\n", v.name, v.usage);
      break;
    }
  }
  return kUsage;
}

std::string ProgramDir() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  buffer[n] = 0;
  std::string path(buffer);
  return path.substr(0, path.rfind('/'));
}

}  // namespace kxmachine
