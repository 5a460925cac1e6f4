// WMIC.exe of the machine. It knows one query, "bios get SerialNumber", and prints it as
// Windows' WMIC does into a pipe: a column padded with blanks, lines ended by "\r\r\n",
// text in the ANSI code page. The serial is machine.json "bios_serial"; "bios_serial_output"
// replaces the whole output with its own text. Any other query is an invalid query.
#include <json/value.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "win32/desktop.h"
#include "win32/machine.h"
#include "win32/nls.h"
#include "win32/processes.h"
#include "win32/sysinfo.h"
#include "win32/unicode.h"

namespace {

constexpr char kDefaultSerial[] = "PF2XK3LM";
constexpr char16_t kHeader[] = u"SerialNumber";
constexpr char16_t kLineEnd[] = u"\r\r\n";                   // "\r\n" through a text-mode stream
constexpr int kInvalidQuery = static_cast<int>(0x80041017);  // WBEM_E_INVALID_QUERY

std::string ToAnsi(const std::u16string& text) {
  if (text.empty()) return std::string();
  int size = static_cast<int>(text.size());
  int n =
      win32::WideCharToMultiByte(win32::CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  win32::WideCharToMultiByte(win32::CP_ACP, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

void Print(FILE* stream, const std::u16string& text) {
  std::string bytes = ToAnsi(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

std::u16string Padded(std::u16string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), u' ');
  return text;
}

bool IsSerialQuery(const std::vector<std::u16string>& args) {
  static const char16_t* const kWords[] = {u"bios", u"get", u"SerialNumber"};
  if (args.size() != 4) return false;
  for (size_t i = 0; i < 3; ++i)
    if (!win32::EqualsNoCase(args[i + 1], kWords[i])) return false;
  return true;
}

std::u16string ComputerName() {
  char16_t name[64];
  win32::DWORD size = 64;
  return win32::GetComputerNameW(name, &size) ? std::u16string(name, size) : u"localhost";
}

}  // namespace

int main(int argc, char** argv) {
  win32::EnterProcess(argc, argv);
  std::u16string command_line = win32::GetCommandLineW();
  Json::Value entry;
  entry["kind"] = "program";
  entry["command_line"] = win32::ToUtf8(command_line);
  win32::AppendDesktopLog(entry);

  if (!IsSerialQuery(win32::CommandLineToArgs(command_line))) {
    Print(stderr, u"Node - " + ComputerName() + kLineEnd + u"ERROR:" + kLineEnd +
                      u"Description = Invalid query" + kLineEnd);
    return win32::LeaveProcess(kInvalidQuery);
  }

  win32::Machine* machine = win32::CurrentMachine();
  Json::Value config = machine ? machine->Config() : Json::Value(Json::objectValue);
  if (config["bios_serial_output"].isString()) {
    Print(stdout, win32::FromUtf8(config["bios_serial_output"].asString()));
    return win32::LeaveProcess(0);
  }
  std::u16string serial = win32::FromUtf8(config.get("bios_serial", kDefaultSerial).asString());
  size_t width = std::max(std::char_traits<char16_t>::length(kHeader), serial.size()) + 2;
  Print(stdout, Padded(kHeader, width) + kLineEnd + Padded(serial, width) + kLineEnd + kLineEnd);
  return win32::LeaveProcess(0);
}
