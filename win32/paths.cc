#include "win32/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool HasInvalidChar(std::u16string_view component) {
  for (char16_t c : component) {
    if (c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*')
      return true;
  }
  return false;
}

std::u16string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) return u"C:\\";
  return WindowsPathOf(buffer);
}

// Finds the entry of a folder whose name equals `name` case-insensitively.
bool FindNoCase(const std::string& dir, std::u16string_view name, std::string* found) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return false;
  std::u16string want = Fold(name);
  while (dirent* e = ::readdir(d.get())) {
    std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    std::u16string candidate = FromUtf8(entry);
    if (candidate.size() == want.size() && Fold(candidate) == want) {
      *found = entry;
      return true;
    }
  }
  return false;
}

std::string MachineRootReal() {
  Machine* m = CurrentMachine();
  return m ? m->root() : std::string();
}

}  // namespace

bool FullWindowsPath(std::u16string_view path, std::u16string* full, DWORD* error) {
  auto fail = [&](DWORD e) {
    if (error) *error = e;
    return false;
  };
  std::u16string p(path);
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  if (p.rfind(u"\\\\?\\", 0) == 0 || p.rfind(u"\\??\\", 0) == 0) p = p.substr(4);
  if (p.empty()) return fail(ERROR_PATH_NOT_FOUND);
  if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') return fail(ERROR_BAD_PATHNAME);

  std::u16string base;
  std::u16string rest;
  if (p.size() >= 2 && IsDriveLetter(p[0]) && p[1] == u':') {
    base = std::u16string(1, static_cast<char16_t>(p[0] & ~0x20)) + u":";
    rest = p.substr(2);
    if (rest.empty() || rest[0] != u'\\') {
      // Drive-relative: relative to the current directory when it is on that drive.
      std::u16string cwd = CurrentDirectory();
      if (DriveLetterOf(cwd) == base[0]) rest = cwd.substr(2) + u"\\" + rest;
    }
  } else if (p[0] == u'\\') {
    std::u16string cwd = CurrentDirectory();
    base = cwd.substr(0, 2);
    rest = p;
  } else {
    std::u16string cwd = CurrentDirectory();
    base = cwd.substr(0, 2);
    rest = cwd.substr(2) + u"\\" + p;
  }

  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    std::u16string part = rest.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    if (part.empty()) continue;
    if (HasInvalidChar(part)) return fail(ERROR_INVALID_NAME);
    parts.push_back(std::move(part));
  }
  std::u16string out = base + u"\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += u'\\';
    out += parts[i];
  }
  *full = std::move(out);
  return true;
}

char16_t DriveLetterOf(std::u16string_view full_path) {
  if (full_path.size() >= 2 && IsDriveLetter(full_path[0]) && full_path[1] == u':')
    return static_cast<char16_t>(full_path[0] & ~0x20);
  return 0;
}

std::vector<std::u16string> PathComponents(std::u16string_view full_path) {
  std::vector<std::u16string> parts;
  size_t start = full_path.size() >= 3 ? 3 : full_path.size();
  while (start < full_path.size()) {
    size_t end = full_path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = full_path.size();
    if (end > start) parts.emplace_back(full_path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool HostPathOf(std::u16string_view path, std::string* host, DWORD* error) {
  std::u16string full;
  if (!FullWindowsPath(path, &full, error)) return false;
  Machine* machine = CurrentMachine();
  char16_t letter = DriveLetterOf(full);
  std::string dir = machine ? machine->DriveDir(static_cast<char>(letter))
                            : (letter == u'Z' ? std::string("/") : std::string());
  if (dir.empty()) {
    if (error) *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (dir == "/") dir.clear();
  std::vector<std::u16string> parts = PathComponents(full);
  std::string exact = dir;
  for (const std::u16string& part : parts) exact += "/" + ToUtf8(part);
  struct stat st;
  if (parts.empty()) {
    *host = dir.empty() ? "/" : dir;
    return true;
  }
  if (::lstat(exact.c_str(), &st) == 0) {
    *host = std::move(exact);
    return true;
  }
  std::string current = dir;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string name = ToUtf8(parts[i]);
    std::string candidate = current + "/" + name;
    std::string found;
    if (::lstat(candidate.c_str(), &st) == 0) {
      current = std::move(candidate);
    } else if (FindNoCase(current.empty() ? "/" : current, parts[i], &found)) {
      current += "/" + found;
    } else {
      current = std::move(candidate);
      for (size_t k = i + 1; k < parts.size(); ++k) current += "/" + ToUtf8(parts[k]);
      break;
    }
  }
  *host = std::move(current);
  return true;
}

std::u16string WindowsPathOf(const std::string& host_path) {
  std::string root = MachineRootReal();
  if (!root.empty() && host_path.size() > root.size() + 7 &&
      host_path.compare(0, root.size(), root) == 0 &&
      host_path.compare(root.size(), 7, "/drive_") == 0) {
    char letter = host_path[root.size() + 7];
    size_t rest = root.size() + 8;
    if (letter >= 'a' && letter <= 'y' && (rest == host_path.size() || host_path[rest] == '/')) {
      std::u16string out(1, static_cast<char16_t>(letter - 'a' + 'A'));
      out += u":\\";
      std::u16string tail = FromUtf8(host_path.substr(rest < host_path.size() ? rest + 1 : rest));
      for (char16_t& c : tail)
        if (c == u'/') c = u'\\';
      return out + tail;
    }
  }
  std::u16string tail = FromUtf8(host_path.size() > 1 ? host_path.substr(1) : std::string());
  for (char16_t& c : tail)
    if (c == u'/') c = u'\\';
  return u"Z:\\" + tail;
}

}  // namespace win32
