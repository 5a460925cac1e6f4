#include "tools/kxmachine/regfile.h"

#include <cstdio>
#include <cctype>
#include <cstring>
#include <vector>

#include "win32/registry.h"
#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

using win32::FromUtf8;
using win32::ToUtf8;

struct Root {
  const char* full;
  const char* shortname;
  win32::HKEY key;
};

const Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", win32::HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", win32::HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", win32::HKEY_CLASSES_ROOT},
    {"HKEY_USERS", "HKU", win32::HKEY_USERS},
};

win32::HKEY RootKey(const std::string& full) {
  for (const Root& r : kRoots)
    if (full == r.full) return r.key;
  return nullptr;
}

// The tool sees the registry as stored: no view redirection.
constexpr win32::REGSAM kRead = win32::KEY_READ | win32::KEY_WOW64_64KEY;
constexpr win32::REGSAM kAll = win32::KEY_ALL_ACCESS | win32::KEY_WOW64_64KEY;

using win32::regstore::BytesOf;
using win32::regstore::UnitsOf;

std::u16string Escape(const std::u16string& s) {
  std::u16string out;
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out;
}

// A REG_SZ that regedit can write as a quoted string and read back to the same bytes.
bool IsPlainString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string u = UnitsOf(data);
  if (u.back() != 0) return false;
  for (size_t i = 0; i + 1 < u.size(); ++i)
    if (u[i] == 0 || u[i] == u'\r' || u[i] == u'\n') return false;
  return true;
}

std::u16string HexLine(const std::u16string& prefix, const std::string& data) {
  std::u16string out = prefix;
  size_t column = prefix.size();
  for (size_t i = 0; i < data.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(data[i]));
    out += FromUtf8(hex);
    column += 2;
    if (i + 1 < data.size()) {
      out += u',';
      ++column;
      if (column > 76) {
        out += u"\\\r\n  ";
        column = 2;
      }
    }
  }
  return out;
}

std::u16string ValueLine(const std::u16string& name, win32::DWORD type, const std::string& data) {
  std::u16string lhs = name.empty() ? u"@=" : u"\"" + Escape(name) + u"\"=";
  if (type == win32::REG_SZ && IsPlainString(data)) {
    std::u16string text = UnitsOf(data);
    text.pop_back();
    return lhs + u"\"" + Escape(text) + u"\"";
  }
  if (type == win32::REG_DWORD && data.size() == 4) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data[i]);
    char hex[16];
    std::snprintf(hex, sizeof hex, "dword:%08x", v);
    return lhs + FromUtf8(hex);
  }
  if (type == win32::REG_BINARY) return HexLine(lhs + u"hex:", data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
  return HexLine(lhs + FromUtf8(prefix), data);
}

bool ExportTree(win32::HKEY parent, const std::u16string& path, const std::u16string& shown,
                std::u16string* out) {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(parent, path.empty() ? nullptr : path.c_str(), 0, kRead, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  *out += u"[" + shown + u"]\r\n";
  for (win32::DWORD i = 0;; ++i) {
    char16_t name[16384];
    win32::DWORD name_size = 16384, type = 0, size = 0;
    if (win32::RegEnumValueW(key, i, name, &name_size, nullptr, &type, nullptr, &size) !=
        win32::ERROR_SUCCESS)
      break;
    std::string data(size, '\0');
    name_size = 16384;
    win32::RegEnumValueW(key, i, name, &name_size, nullptr, &type,
                         reinterpret_cast<win32::BYTE*>(data.data()), &size);
    data.resize(size);
    *out += ValueLine(std::u16string(name, name_size), type, data) + u"\r\n";
  }
  *out += u"\r\n";
  std::vector<std::u16string> children;
  for (win32::DWORD i = 0;; ++i) {
    char16_t name[256];
    win32::DWORD name_size = 256;
    if (win32::RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        win32::ERROR_SUCCESS)
      break;
    children.emplace_back(name, name_size);
  }
  for (const std::u16string& child : children)
    ExportTree(key, child, shown + u"\\" + child, out);
  win32::RegCloseKey(key);
  return true;
}

// Lines joined across "\" continuations; comments and blanks dropped.
std::vector<std::u16string> LogicalLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::u16string current;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    if (current.empty()) {
      size_t lead = line.find_first_not_of(u" \t");
      if (lead == std::u16string::npos) continue;
      line = line.substr(lead);
      if (line[0] == u';') continue;
    } else {
      size_t lead = line.find_first_not_of(u" \t");
      line = lead == std::u16string::npos ? u"" : line.substr(lead);
    }
    current += line;
    if (!current.empty() && current.back() == u'\\' && current[0] != u'[' &&
        current.find(u"=hex") != std::u16string::npos) {
      current.pop_back();
      continue;
    }
    lines.push_back(current);
    current.clear();
    if (end == text.size()) break;
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

bool ParseQuoted(const std::u16string& line, size_t* pos, std::u16string* out) {
  if (*pos >= line.size() || line[*pos] != u'"') return false;
  ++*pos;
  out->clear();
  while (*pos < line.size()) {
    char16_t c = line[(*pos)++];
    if (c == u'\\' && *pos < line.size()) {
      *out += line[(*pos)++];
    } else if (c == u'"') {
      return true;
    } else {
      *out += c;
    }
  }
  return false;
}

bool ParseHex(const std::u16string& text, std::string* data) {
  data->clear();
  std::string hex = ToUtf8(text);
  size_t i = 0;
  while (i < hex.size()) {
    while (i < hex.size() && (hex[i] == ',' || hex[i] == ' ' || hex[i] == '\t')) ++i;
    if (i >= hex.size()) break;
    if (i + 1 >= hex.size() || !std::isxdigit(static_cast<unsigned char>(hex[i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
      return false;
    data->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return true;
}

bool OpenForImport(const std::u16string& full, bool create, win32::HKEY* key, std::string* error) {
  std::string root;
  std::u16string path;
  if (!SplitRootKey(ToUtf8(full), &root, &path)) {
    *error = "unknown root in " + ToUtf8(full);
    return false;
  }
  win32::HKEY base = RootKey(root);
  if (path.empty()) {
    *key = base;
    return true;
  }
  win32::LSTATUS s = create ? win32::RegCreateKeyExW(base, path.c_str(), 0, nullptr, 0, kAll, nullptr,
                                                     key, nullptr)
                            : win32::RegOpenKeyExW(base, path.c_str(), 0, kAll, key);
  if (s != win32::ERROR_SUCCESS) {
    *error = "cannot open " + ToUtf8(full) + " (error " + std::to_string(s) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool SplitRootKey(const std::string& key, std::string* root_full_name, std::u16string* path) {
  std::string k = key;
  for (char& c : k)
    if (c == '/') c = '\\';
  size_t slash = k.find('\\');
  std::string head = k.substr(0, slash);
  std::u16string fold = win32::Fold(FromUtf8(head));
  for (const Root& r : kRoots) {
    if (fold == win32::Fold(FromUtf8(r.full)) || fold == win32::Fold(FromUtf8(r.shortname))) {
      *root_full_name = r.full;
      std::u16string rest = slash == std::string::npos ? u"" : FromUtf8(k.substr(slash + 1));
      while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
      *path = rest;
      return true;
    }
  }
  return false;
}

bool ExportKey(const std::string& key, std::string* file_bytes, std::string* error) {
  std::string root;
  std::u16string path;
  if (!SplitRootKey(key, &root, &path)) {
    *error = "unknown root in " + key;
    return false;
  }
  std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n";
  std::u16string shown = FromUtf8(root) + (path.empty() ? u"" : u"\\" + path);
  if (!ExportTree(RootKey(root), path, shown, &text)) {
    *error = "no such key: " + key;
    return false;
  }
  *file_bytes = std::string("\xFF\xFE", 2) + BytesOf(text);
  return true;
}

bool ImportRegFile(const std::string& file_bytes, std::string* error) {
  std::u16string text;
  if (file_bytes.size() >= 2 && static_cast<unsigned char>(file_bytes[0]) == 0xFF &&
      static_cast<unsigned char>(file_bytes[1]) == 0xFE) {
    text = UnitsOf(file_bytes.substr(2));
  } else if (file_bytes.size() >= 2 && static_cast<unsigned char>(file_bytes[0]) == 0xFE &&
             static_cast<unsigned char>(file_bytes[1]) == 0xFF) {
    std::string swapped = file_bytes.substr(2);
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    text = UnitsOf(swapped);
  } else {
    std::string utf8 = file_bytes;
    if (utf8.rfind("\xEF\xBB\xBF", 0) == 0) utf8.erase(0, 3);
    text = FromUtf8(utf8);
  }
  std::vector<std::u16string> lines = LogicalLines(text);
  if (lines.empty() ||
      (lines[0] != u"Windows Registry Editor Version 5.00" && lines[0] != u"REGEDIT4")) {
    *error = "not a registry file (missing \"Windows Registry Editor Version 5.00\")";
    return false;
  }
  win32::HKEY current = nullptr;
  auto close_current = [&] {
    if (current && reinterpret_cast<uintptr_t>(current) < 0x80000000) win32::RegCloseKey(current);
    current = nullptr;
  };
  for (size_t n = 1; n < lines.size(); ++n) {
    const std::u16string& line = lines[n];
    if (line[0] == u'[') {
      close_current();
      size_t end = line.rfind(u']');
      if (end == std::u16string::npos) {
        *error = "bad key line: " + ToUtf8(line);
        return false;
      }
      std::u16string name = line.substr(1, end - 1);
      if (!name.empty() && name[0] == u'-') {
        std::string root;
        std::u16string path;
        if (!SplitRootKey(ToUtf8(name.substr(1)), &root, &path) || path.empty()) {
          *error = "bad key to delete: " + ToUtf8(name);
          return false;
        }
        win32::SHDeleteKeyW(RootKey(root), path.c_str());  // absent keys are fine
        continue;
      }
      if (!OpenForImport(name, true, &current, error)) return false;
      continue;
    }
    if (!current) {
      *error = "value outside a key: " + ToUtf8(line);
      return false;
    }
    size_t pos = 0;
    std::u16string name;
    if (line[0] == u'@') {
      pos = 1;
    } else if (!ParseQuoted(line, &pos, &name)) {
      *error = "bad value line: " + ToUtf8(line);
      return false;
    }
    if (pos >= line.size() || line[pos] != u'=') {
      *error = "bad value line: " + ToUtf8(line);
      return false;
    }
    std::u16string rhs = line.substr(pos + 1);
    win32::LSTATUS s = win32::ERROR_SUCCESS;
    if (rhs == u"-") {
      win32::RegDeleteValueW(current, name.c_str());
      continue;
    }
    win32::DWORD type;
    std::string data;
    if (!rhs.empty() && rhs[0] == u'"') {
      size_t p = 0;
      std::u16string value;
      if (!ParseQuoted(rhs, &p, &value)) {
        *error = "bad string: " + ToUtf8(line);
        return false;
      }
      type = win32::REG_SZ;
      data = BytesOf(value) + std::string(2, '\0');
    } else if (rhs.rfind(u"dword:", 0) == 0) {
      std::string hex = ToUtf8(rhs.substr(6));
      if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        *error = "bad dword: " + ToUtf8(line);
        return false;
      }
      uint32_t v = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
      type = win32::REG_DWORD;
      data.assign(reinterpret_cast<const char*>(&v), 4);
    } else if (rhs.rfind(u"hex", 0) == 0) {
      size_t colon = rhs.find(u':');
      if (colon == std::u16string::npos) {
        *error = "bad hex value: " + ToUtf8(line);
        return false;
      }
      std::u16string type_text = rhs.substr(3, colon - 3);
      type = win32::REG_BINARY;
      if (!type_text.empty()) {
        if (type_text.size() < 3 || type_text.front() != u'(' || type_text.back() != u')') {
          *error = "bad hex type: " + ToUtf8(line);
          return false;
        }
        type = static_cast<win32::DWORD>(std::stoul(ToUtf8(type_text.substr(1, type_text.size() - 2)), nullptr, 16));
      }
      if (!ParseHex(rhs.substr(colon + 1), &data)) {
        *error = "bad hex data: " + ToUtf8(line);
        return false;
      }
    } else {
      *error = "unknown value form: " + ToUtf8(line);
      return false;
    }
    s = win32::RegSetValueExW(current, name.c_str(), 0, type,
                              reinterpret_cast<const win32::BYTE*>(data.data()),
                              static_cast<win32::DWORD>(data.size()));
    if (s != win32::ERROR_SUCCESS) {
      *error = "cannot write " + ToUtf8(name) + " (error " + std::to_string(s) + ")";
      close_current();
      return false;
    }
  }
  close_current();
  return true;
}

std::string FormatValueForQuery(const std::u16string& name, unsigned type, const std::string& data) {
  static const char* kTypes[] = {"REG_NONE",      "REG_SZ",        "REG_EXPAND_SZ", "REG_BINARY",
                                 "REG_DWORD",     "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ",
                                 "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                 "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
  std::string type_name = type < 12 ? kTypes[type] : "REG_" + std::to_string(type);
  std::string shown;
  if ((type == win32::REG_SZ || type == win32::REG_EXPAND_SZ) && data.size() % 2 == 0) {
    std::u16string u = UnitsOf(data);
    size_t nul = u.find(u'\0');
    shown = ToUtf8(nul == std::u16string::npos ? u : u.substr(0, nul));
  } else if (type == win32::REG_MULTI_SZ && data.size() % 2 == 0) {
    std::u16string u = UnitsOf(data);
    while (!u.empty() && u.back() == 0) u.pop_back();
    for (char16_t& c : u)
      if (c == 0) c = u'\x1F';
    shown = ToUtf8(u);
    for (size_t p; (p = shown.find('\x1F')) != std::string::npos;) shown.replace(p, 1, "\\0");
  } else if ((type == win32::REG_DWORD && data.size() == 4) || (type == win32::REG_QWORD && data.size() == 8)) {
    uint64_t v = 0;
    for (size_t i = data.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[i]);
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    shown = buf;
  } else {
    for (unsigned char c : data) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%02X", c);
      shown += buf;
    }
  }
  return "    " + (name.empty() ? std::string("(Default)") : ToUtf8(name)) + "    " + type_name +
         "    " + shown;
}

}  // namespace kxmachine
