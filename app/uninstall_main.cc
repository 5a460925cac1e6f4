// The host's entry into uninstall.exe: enter the machine, then the program's own entry
// with the text after the program name, as a GUI entry point receives it.
#include "app/launch.h"
#include "win32/modules.h"
#include "win32/processes.h"

int main(int argc, char** argv) {
  win32::EnterProcess(argc, argv);
  std::u16string arguments = win32::CommandLineArguments(win32::GetCommandLineW());
  return win32::LeaveProcess(Kx::UninstallerMain(win32::GetModuleHandleW(nullptr), arguments));
}
