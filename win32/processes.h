// Processes of the machine: each is a real host process, listed in the machine's process
// table with its Windows id, image, user, elevation and bitness.
#pragma once

#include <string>
#include <vector>

#include "win32/handles.h"
#include "win32/types.h"

namespace win32 {

constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_CREATE_THREAD = 0x0002;
constexpr DWORD PROCESS_VM_READ = 0x0010;
constexpr DWORD PROCESS_DUP_HANDLE = 0x0040;
constexpr DWORD PROCESS_CREATE_PROCESS = 0x0080;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFF;

constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD DETACHED_PROCESS = 0x00000008;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;

constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// How this process enters the process table when it is not started through CreateProcessW
// (a program run from a host shell, a test, a tool).
struct ProcessStartup {
  bool elevated = false;
  bool elevated_from_image = true;  // elevated when the image asks for it and it is accepted
  int bits = 0;                     // 0: as the image says (or the machine's native size)
  std::string user;                 // empty: the machine's interactive user
  bool offline = false;             // a tool working on the machine from outside: no checks
  bool listed = true;               // false: not entered into the process table
};

// Enters the calling program into the process table, or claims the entry its creator made.
// Programs call it first in main; other functions enter with the defaults if it was not.
bool EnterProcess(int argc, char** argv);
bool EnterProcessAs(const ProcessStartup& startup);
// Records the exit code in the process table and returns it, for `return` from main.
int LeaveProcess(int exit_code);
[[noreturn]] void ExitProcess(UINT exit_code);

// This process as the machine sees it.
struct ProcessSelf {
  DWORD id = 0;
  std::string user;
  std::string sid;
  bool elevated = false;
  int bits = 64;
  bool offline = false;
  std::u16string image_path;
  std::u16string command_line;
};
const ProcessSelf& CurrentProcess();

DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();
LPWSTR GetCommandLineW();

// Resolves the program as Windows does (given path, application folder, current folder,
// System32, the Windows folder, PATH; ".exe" appended), starts it with the machine's
// environment, records it, and returns handles to the process.
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes, LPSECURITY_ATTRIBUTES thread_attributes,
                    BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                    LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                    LPPROCESS_INFORMATION process_information);
HANDLE OpenProcess(DWORD desired_access, BOOL inherit_handle, DWORD process_id);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
DWORD GetProcessId(HANDLE process);

// Splits a Windows command line into arguments as the C runtime does.
std::vector<std::u16string> CommandLineToArgs(std::u16string_view command_line);
// Quotes one argument so that CommandLineToArgs gives it back.
std::u16string QuoteArgument(std::u16string_view argument);
// The text after the program name, as a GUI entry point receives it.
std::u16string CommandLineArguments(std::u16string_view command_line);

}  // namespace win32
