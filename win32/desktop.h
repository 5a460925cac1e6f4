// What a user of the machine sees besides windows: message boxes, debug output and shell
// executions, all recorded in <machine>/log/desktop.jsonl, one JSON object a line.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "win32/types.h"

namespace win32 {

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_TOPMOST = 0x40000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a message box and returns the button pressed. Without a display the box is only
// recorded and answered with its first button.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
void OutputDebugStringW(LPCWSTR text);

// Appends one entry ("kind" and its fields) to the desktop log, adding the time and the
// process. Entries of concurrent processes never interleave.
void AppendDesktopLog(Json::Value entry);
std::vector<Json::Value> ReadDesktopLog(const std::string& machine_root);

}  // namespace win32
