// Finding, stopping and starting programs.
#pragma once

#include <string>
#include <string_view>

#include "win32/types.h"

namespace Kx {

win32::DWORD FindProcessIdByName(std::u16string_view name);
bool IsProcessRunning(std::u16string_view name);
bool TerminateProcessByName(std::u16string_view name);
// Arguments, when given, follow the program path in double quotes and one blank.
bool StartProcess(std::u16string_view path, const char16_t* arguments, bool wait, int timeout_ms);
// Starts a program as the user of the desktop shell, not elevated, with exactly the given
// command line.
bool StartProcessAsShellUser(std::u16string_view path, std::u16string_view command_line);
win32::HANDLE DuplicateProcessToken(win32::DWORD process_id);
std::u16string GetCurrentProcessName();

}  // namespace Kx
