#include "tools/kxmachine/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "tools/kxmachine/regfile.h"
#include "win32/machine.h"
#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

// One entry of a snapshot: its kind and the text that tells whether it changed.
struct Item {
  std::string kind;     // file, dir, link, key, value
  std::string shown;    // as printed
  std::string content;  // compared
};
using Items = std::map<std::string, Item>;  // by folded identity

std::string FileCrc(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "unreadable";
  uLong crc = crc32(0L, Z_NULL, 0);
  unsigned char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) crc = crc32(crc, buffer, static_cast<uInt>(n));
  ::close(fd);
  char text[16];
  std::snprintf(text, sizeof text, "%08lx", crc);
  return text;
}

void WalkFiles(const std::string& host, const std::string& windows, Items* items) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(host.c_str()), ::closedir);
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d.get())) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  for (const std::string& n : names) {
    std::string h = host + "/" + n;
    std::string w = windows + "\\" + n;
    struct stat st;
    if (::lstat(h.c_str(), &st) != 0) continue;
    std::string id = win32::FoldUtf8(w);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t len = ::readlink(h.c_str(), target, sizeof target - 1);
      target[len > 0 ? len : 0] = 0;
      (*items)["F" + id] = {"link", w, target};
    } else if (S_ISDIR(st.st_mode)) {
      (*items)["F" + id] = {"dir", w, ""};
      WalkFiles(h, w, items);
    } else {
      bool read_only = (st.st_mode & 0222) == 0;
      (*items)["F" + id] = {"file", w,
                            std::to_string(st.st_size) + ":" + FileCrc(h) + (read_only ? ":ro" : "")};
    }
  }
}

std::string Hex(const std::string& data) {
  std::string out;
  char buf[4];
  for (unsigned char c : data) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

void WalkKeys(win32::Store* store, int64_t key, const std::u16string& path, Items* items) {
  std::string shown = win32::ToUtf8(path);
  std::string id = win32::FoldUtf8(shown);
  (*items)["K" + id] = {"key", shown, ""};
  for (const win32::regstore::Value& v : win32::regstore::Values(store, key)) {
    std::string line = FormatValueForQuery(v.name, v.type, v.data);
    std::string name = v.name.empty() ? "(Default)" : win32::ToUtf8(v.name);
    (*items)["V" + id + "\\\\" + win32::FoldUtf8(name)] = {
        "value", shown + " [" + name + "]" , std::to_string(v.type) + ":" + Hex(v.data) + "\t" + line};
  }
  for (const auto& [child, name] : win32::regstore::Subkeys(store, key))
    WalkKeys(store, child, path + u"\\" + name, items);
}

bool Collect(const std::string& root, Items* items, std::string* error) {
  std::unique_ptr<win32::Machine> machine = win32::Machine::Open(root);
  if (!machine) {
    *error = root + " is not a machine";
    return false;
  }
  for (char letter = 'a'; letter <= 'y'; ++letter) {
    std::string dir = machine->DriveDir(letter);
    if (dir.empty()) continue;
    std::string drive(1, static_cast<char>(letter - 'a' + 'A'));
    WalkFiles(dir, drive + ":", items);
  }
  std::lock_guard<std::recursive_mutex> lock(machine->store()->mutex());
  WalkKeys(machine->store(), win32::regstore::kLocalMachine, u"HKEY_LOCAL_MACHINE", items);
  WalkKeys(machine->store(), win32::regstore::kUsers, u"HKEY_USERS", items);
  return true;
}

std::string EscapeField(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string UnescapeField(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string current;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      current += line[i];
      current += line[++i];
    } else if (line[i] == '\t') {
      fields.push_back(current);
      current.clear();
    } else {
      current += line[i];
    }
  }
  fields.push_back(current);
  return fields;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 100) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
  return name[0] != '.';
}

std::string SnapshotPath(const std::string& root, const std::string& name) {
  return root + "/snapshots/" + name + ".tsv";
}

std::string Display(const Item& item) {
  if (item.kind != "value") return item.kind + " " + item.shown;
  size_t tab = item.content.find('\t');
  std::string line = tab == std::string::npos ? "" : item.content.substr(tab + 1);
  // Name, type and data as `reg query` shows them, after the key.
  size_t bracket = item.shown.rfind(" [");
  std::string key = item.shown.substr(0, bracket);
  return "value " + key + " " + line.substr(line.find_first_not_of(' '));
}

}  // namespace

bool TakeSnapshot(const std::string& root, const std::string& name, std::string* error) {
  if (!ValidName(name)) {
    *error = "a snapshot name is letters, digits, '-', '_' and '.'";
    return false;
  }
  Items items;
  if (!Collect(root, &items, error)) return false;
  ::mkdir((root + "/snapshots").c_str(), 0777);
  std::string path = SnapshotPath(root, name);
  std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
  for (const auto& [id, item] : items)
    out << EscapeField(id) << '\t' << item.kind << '\t' << EscapeField(item.shown) << '\t'
        << EscapeField(item.content) << '\n';
  out.close();
  if (!out || ::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool DiffSnapshot(const std::string& root, const std::string& name,
                  std::vector<std::string>* changes, std::string* error) {
  if (!ValidName(name)) {
    *error = "bad snapshot name";
    return false;
  }
  std::ifstream in(SnapshotPath(root, name), std::ios::binary);
  if (!in) {
    *error = "no snapshot named " + name;
    return false;
  }
  Items before;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 4) continue;
    before[UnescapeField(f[0])] = {f[1], UnescapeField(f[2]), UnescapeField(f[3])};
  }
  Items after;
  if (!Collect(root, &after, error)) return false;
  std::vector<std::pair<std::string, std::string>> lines;  // sort key, text
  for (const auto& [id, item] : before) {
    auto it = after.find(id);
    if (it == after.end()) {
      lines.emplace_back(item.shown + "\x01", "- " + Display(item));
    } else if (it->second.kind != item.kind || it->second.content != item.content) {
      lines.emplace_back(item.shown + "\x01", "~ " + Display(it->second));
    }
  }
  for (const auto& [id, item] : after)
    if (!before.count(id)) lines.emplace_back(item.shown + "\x01", "+ " + Display(item));
  std::sort(lines.begin(), lines.end());
  changes->clear();
  for (auto& l : lines) changes->push_back(std::move(l.second));
  return true;
}

}  // namespace kxmachine
