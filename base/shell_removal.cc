#include "base/shell_removal.h"

#include <string>

#include "base/path.h"
#include "base/registry.h"
#include "base/strings.h"
#include "win32/shell.h"

namespace Kx {
namespace {

constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char16_t kVerbKeyFormat[] = u"SystemFileAssociations\\%s\\Shell\\";
constexpr char16_t kGroupFormat[] = u"%s\\%s\\";

bool ShellFolder(int csidl, std::u16string* folder) {
  char16_t buffer[win32::MAX_PATH] = {0};
  if (!win32::SHGetSpecialFolderPathW(nullptr, buffer, csidl, win32::FALSE) || !buffer[0])
    return false;
  *folder = buffer;
  return true;
}

}  // namespace

bool DeleteUninstallEntry(std::u16string_view name) {
  if (name.empty()) return false;
  return RegDeleteTree(win32::HKEY_LOCAL_MACHINE, std::u16string(kUninstallKey) + std::u16string(name));
}

bool DeleteShellVerb(std::u16string_view verb, std::u16string_view extension) {
  if (verb.empty() || extension.empty()) return false;
  std::u16string key;
  std::u16string ext(extension);
  FormatString(&key, kVerbKeyFormat, ext.c_str());
  return RegDeleteTree(win32::HKEY_CLASSES_ROOT, key + std::u16string(verb));
}

bool DeleteCommonProgramsFolder(std::u16string_view group) {
  if (group.empty()) return false;
  std::u16string programs;
  if (!ShellFolder(win32::CSIDL_COMMON_PROGRAMS, &programs)) return false;
  std::u16string path;
  std::u16string g(group);
  FormatString(&path, kGroupFormat, programs.c_str(), g.c_str());
  DeleteFolderTree(path);
  return true;
}

bool DeleteCommonDesktopFile(std::u16string_view file_name) {
  std::u16string desktop;
  if (!ShellFolder(win32::CSIDL_COMMON_DESKTOPDIRECTORY, &desktop)) return false;
  return DeleteFileForce(CombinePath(desktop, file_name));
}

}  // namespace Kx
