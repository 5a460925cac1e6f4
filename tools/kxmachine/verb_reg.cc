#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/kxmachine/regfile.h"
#include "tools/kxmachine/tool.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace kxmachine {
namespace {

win32::HKEY RootOf(const std::string& name) {
  if (name == "HKEY_LOCAL_MACHINE") return win32::HKEY_LOCAL_MACHINE;
  if (name == "HKEY_CURRENT_USER") return win32::HKEY_CURRENT_USER;
  if (name == "HKEY_CLASSES_ROOT") return win32::HKEY_CLASSES_ROOT;
  return win32::HKEY_USERS;
}

int Query(const std::string& key_text, const std::string* value_name) {
  std::string root;
  std::u16string path;
  if (!SplitRootKey(key_text, &root, &path)) return Fail("unknown root in " + key_text);
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(RootOf(root), path.empty() ? nullptr : path.c_str(), 0,
                           win32::KEY_READ | win32::KEY_WOW64_64KEY, &key) != win32::ERROR_SUCCESS)
    return Fail("no such key: " + key_text);
  int result = kOk;
  std::printf("%s%s%s\n", root.c_str(), path.empty() ? "" : "\\", win32::ToUtf8(path).c_str());
  if (value_name) {
    std::u16string name = win32::FromUtf8(*value_name);
    win32::DWORD type = 0, size = 0;
    if (win32::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != win32::ERROR_SUCCESS) {
      result = Fail("no value " + *value_name + " in " + key_text);
    } else {
      std::string data(size, '\0');
      win32::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<win32::BYTE*>(data.data()), &size);
      std::printf("%s\n", FormatValueForQuery(name, type, data).c_str());
    }
  } else {
    for (win32::DWORD i = 0;; ++i) {
      char16_t name[16384];
      win32::DWORD name_size = 16384, type = 0, size = 0;
      if (win32::RegEnumValueW(key, i, name, &name_size, nullptr, &type, nullptr, &size) != win32::ERROR_SUCCESS)
        break;
      std::string data(size, '\0');
      name_size = 16384;
      win32::RegEnumValueW(key, i, name, &name_size, nullptr, &type, reinterpret_cast<win32::BYTE*>(data.data()), &size);
      std::printf("%s\n", FormatValueForQuery(std::u16string(name, name_size), type, data).c_str());
    }
    for (win32::DWORD i = 0;; ++i) {
      char16_t name[256];
      win32::DWORD name_size = 256;
      if (win32::RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) != win32::ERROR_SUCCESS)
        break;
      std::printf("%s%s%s\\%s\n", root.c_str(), path.empty() ? "" : "\\", win32::ToUtf8(path).c_str(),
                  win32::ToUtf8(std::u16string(name, name_size)).c_str());
    }
  }
  win32::RegCloseKey(key);
  return result;
}

}  // namespace

int VerbReg(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("reg");
  const std::string& what = args[0];
  if (!OpenMachine(args[1])) return Fail(args[1] + " is not a machine");
  if (what == "query" && (args.size() == 3 || args.size() == 4))
    return Query(args[2], args.size() == 4 ? &args[3] : nullptr);
  std::string error;
  if (what == "import" && args.size() == 3) {
    std::ifstream in(args[2], std::ios::binary);
    if (!in) return Fail("cannot read " + args[2]);
    std::stringstream ss;
    ss << in.rdbuf();
    return ImportRegFile(ss.str(), &error) ? kOk : Fail(error);
  }
  if (what == "export" && args.size() == 4) {
    std::string bytes;
    if (!ExportKey(args[2], &bytes, &error)) return Fail(error);
    std::ofstream out(args[3], std::ios::binary | std::ios::trunc);
    out << bytes;
    return out ? kOk : Fail("cannot write " + args[3]);
  }
  return Usage("reg");
}

}  // namespace kxmachine
