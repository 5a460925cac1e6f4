#include "win32/desktop.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "win32/machine.h"
#include "win32/processes.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

std::string Text(LPCWSTR text) { return text ? ToUtf8(text) : std::string(); }

int FirstButton(UINT type) {
  switch (type & 0xF) {
    case MB_YESNO:
    case MB_YESNOCANCEL: return IDYES;
    default: return IDOK;
  }
}

}  // namespace

void AppendDesktopLog(Json::Value entry) {
  Machine* machine = CurrentMachine();
  if (!machine) return;
  const ProcessSelf& self = CurrentProcess();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  entry["time"] = static_cast<Json::Int64>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  entry["process"] = self.id;
  std::u16string image = self.image_path;
  size_t slash = image.rfind(u'\\');
  entry["image"] = ToUtf8(slash == std::u16string::npos ? image : image.substr(slash + 1));
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  std::string line = Json::writeString(writer, entry) + "\n";
  std::string path = machine->LogDir() + "/desktop.jsonl";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  // One write of the whole line: O_APPEND keeps lines of several processes whole.
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;
  ::close(fd);
}

std::vector<Json::Value> ReadDesktopLog(const std::string& machine_root) {
  std::vector<Json::Value> entries;
  std::ifstream in(machine_root + "/log/desktop.jsonl");
  std::string line;
  Json::CharReaderBuilder builder;
  while (std::getline(in, line)) {
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (reader->parse(line.data(), line.data() + line.size(), &value, &errors)) entries.push_back(value);
  }
  return entries;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  int answer = FirstButton(type);
  Json::Value entry;
  entry["kind"] = "message_box";
  entry["caption"] = Text(caption);
  entry["text"] = Text(text);
  entry["type"] = type;
  entry["owned"] = owner != nullptr;
  entry["answer"] = answer;
  AppendDesktopLog(entry);
  return answer;
}

void OutputDebugStringW(LPCWSTR text) {
  Json::Value entry;
  entry["kind"] = "debug";
  entry["text"] = Text(text);
  AppendDesktopLog(entry);
}

}  // namespace win32
