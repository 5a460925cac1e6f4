#include "base/path.h"

#include "win32/files.h"
#include "win32/handles.h"
#include "win32/shell.h"

namespace Kx {
namespace {

constexpr win32::DWORD kUnsettableAttributes = 0x4E50 | win32::FILE_ATTRIBUTE_READONLY;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string Unquoted(std::u16string_view path) {
  if (path.size() >= 2 && path.front() == u'"' && path.back() == u'"')
    return std::u16string(path.substr(1, path.size() - 2));
  return std::u16string(path);
}

bool IsAbsolute(std::u16string_view path) {
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return true;
  return path.size() >= 3 && path[1] == u':' && IsSeparator(path[2]);
}

// The path without surrounding quotes and trailing separators, for the existence tests.
std::u16string Normalized(std::u16string_view path) {
  std::u16string p = Unquoted(path);
  while (!p.empty() && IsSeparator(p.back())) p.pop_back();
  return p;
}

bool IsDotEntry(const win32::WIN32_FIND_DATAW& data) {
  if (!(data.dwFileAttributes & win32::FILE_ATTRIBUTE_DIRECTORY)) return false;
  std::u16string_view name(data.cFileName);
  return name == u"." || name == u"..";
}

// Clears the read-only and the unsettable attributes, keeping the others.
void ClearReadOnly(const std::u16string& path) {
  win32::DWORD attributes = win32::GetFileAttributesW(path.c_str());
  if (attributes != win32::INVALID_FILE_ATTRIBUTES)
    win32::SetFileAttributesW(path.c_str(), attributes & ~kUnsettableAttributes);
}

bool GetSpecialFolder(int csidl, bool shell_location, std::u16string_view sub_path, bool create,
                      std::u16string* out) {
  char16_t buffer[win32::MAX_PATH] = {0};
  if (shell_location) {
    win32::PIDLIST_ABSOLUTE pidl = nullptr;
    if (win32::SHGetSpecialFolderLocation(nullptr, csidl, &pidl) == win32::S_OK && pidl) {
      char16_t long_path[win32::MAX_PATH] = {0};
      if (win32::SHGetPathFromIDListW(pidl, long_path))
        win32::GetShortPathNameW(long_path, buffer, win32::MAX_PATH);
      win32::ILFree(pidl);
    }
  } else {
    win32::SHGetSpecialFolderPathW(nullptr, buffer, csidl, win32::FALSE);
  }
  *out = buffer;
  if (out->empty()) return false;
  *out = CombinePath(*out, sub_path);
  if (!PathExists(*out) && create) CreateDirectoryTree(*out);
  return PathExists(*out);
}

}  // namespace

std::u16string CombinePath(std::u16string_view base, std::u16string_view relative) {
  std::u16string rel = Unquoted(relative);
  if (rel.size() >= 2 && IsAbsolute(rel)) return rel;
  std::u16string b = Unquoted(base);
  while (!b.empty() && IsSeparator(b.back())) b.pop_back();
  if (!b.empty()) b += u'\\';
  size_t lead = 0;
  while (lead < rel.size() && IsSeparator(rel[lead])) ++lead;
  rel.erase(0, lead);
  return b.empty() ? rel : b + rel;
}

bool PathExists(std::u16string_view path) {
  return win32::GetFileAttributesW(Normalized(path).c_str()) != win32::INVALID_FILE_ATTRIBUTES;
}

bool IsFile(std::u16string_view path) {
  win32::DWORD a = win32::GetFileAttributesW(Normalized(path).c_str());
  return a != win32::INVALID_FILE_ATTRIBUTES && !(a & win32::FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(std::u16string_view path) {
  win32::DWORD a = win32::GetFileAttributesW(Normalized(path).c_str());
  return a != win32::INVALID_FILE_ATTRIBUTES && (a & win32::FILE_ATTRIBUTE_DIRECTORY);
}

bool IsPathEmpty(std::u16string_view path) {
  if (!PathExists(path)) return true;
  win32::WIN32_FIND_DATAW data;
  if (IsDirectory(path)) {
    std::u16string pattern = CombinePath(path, u"*.*");
    win32::HANDLE find = win32::FindFirstFileW(pattern.c_str(), &data);
    if (find == win32::INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do {
      if (!IsDotEntry(data)) {
        empty = false;
        break;
      }
    } while (win32::FindNextFileW(find, &data));
    win32::FindClose(find);
    return empty;
  }
  win32::HANDLE find = win32::FindFirstFileW(std::u16string(path).c_str(), &data);
  if (find == win32::INVALID_HANDLE_VALUE) return true;
  win32::FindClose(find);
  return data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

uint64_t GetFileSize64(std::u16string_view path) {
  win32::WIN32_FIND_DATAW data;
  win32::HANDLE find = win32::FindFirstFileW(std::u16string(path).c_str(), &data);
  if (find == win32::INVALID_HANDLE_VALUE) return 0;
  win32::FindClose(find);
  if (data.dwFileAttributes & win32::FILE_ATTRIBUTE_DIRECTORY) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool DeleteFileForce(std::u16string_view path) {
  std::u16string p(path);
  ClearReadOnly(p);
  return win32::DeleteFileW(p.c_str()) != win32::FALSE;
}

void DeleteFolderTree(std::u16string_view folder) {
  std::u16string dir(folder);
  while (!dir.empty() && IsSeparator(dir.back())) dir.pop_back();
  win32::DWORD own = win32::GetFileAttributesW(dir.c_str());
  if (own != win32::INVALID_FILE_ATTRIBUTES && (own & win32::FILE_ATTRIBUTE_REPARSE_POINT)) {
    // The folder itself is a link: remove the link, not what it points to.
    win32::RemoveDirectoryW(dir.c_str());
    return;
  }
  dir += u'\\';
  win32::WIN32_FIND_DATAW data;
  std::u16string pattern = dir + u"*.*";
  win32::HANDLE find = win32::FindFirstFileW(pattern.c_str(), &data);
  if (find != win32::INVALID_HANDLE_VALUE) {
    do {
      if (IsDotEntry(data)) continue;
      std::u16string child = dir + data.cFileName;
      if (data.dwFileAttributes & win32::FILE_ATTRIBUTE_REPARSE_POINT) {
        // Never descend through a link: its target belongs to someone else.
        ClearReadOnly(child);
        if (data.dwFileAttributes & win32::FILE_ATTRIBUTE_DIRECTORY) {
          win32::RemoveDirectoryW(child.c_str());
        } else {
          win32::DeleteFileW(child.c_str());
        }
      } else if (data.dwFileAttributes & win32::FILE_ATTRIBUTE_DIRECTORY) {
        DeleteFolderTree(child);
      } else {
        DeleteFileForce(child);
      }
    } while (win32::FindNextFileW(find, &data));
    win32::FindClose(find);
  }
  dir.pop_back();
  ClearReadOnly(dir);
  win32::RemoveDirectoryW(dir.c_str());
}

bool CreateDirectoryTree(std::u16string_view path) {
  std::u16string p(path);
  for (size_t i = 0; i < p.size(); ++i) {
    if (!IsSeparator(p[i])) continue;
    std::u16string prefix = p.substr(0, i);
    if (!prefix.empty() && !PathExists(prefix)) win32::CreateDirectoryW(prefix.c_str(), nullptr);
  }
  if (!PathExists(p) && !win32::CreateDirectoryW(p.c_str(), nullptr)) return false;
  return IsDirectory(p);
}

std::u16string GetFileExtension(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind(u'.');
  return dot == std::u16string_view::npos ? std::u16string() : std::u16string(name.substr(dot));
}

std::u16string GetFileName(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

bool GetLocalAppDataFolder(std::u16string_view sub_path, bool create, std::u16string* out) {
  return GetSpecialFolder(win32::CSIDL_LOCAL_APPDATA, true, sub_path, create, out);
}

bool GetAppDataFolder(std::u16string_view sub_path, bool create, std::u16string* out) {
  return GetSpecialFolder(win32::CSIDL_APPDATA, false, sub_path, create, out);
}

std::u16string GetOvappDataFolder(bool create) {
  char16_t buffer[win32::MAX_PATH] = {0};
  if (!win32::SHGetSpecialFolderPathW(nullptr, buffer, win32::CSIDL_APPDATA, win32::FALSE) ||
      !buffer[0])
    return std::u16string();
  std::u16string folder = CombinePath(buffer, u"Ovapp");
  if (!PathExists(folder) && create) CreateDirectoryTree(folder);
  return folder;
}

}  // namespace Kx
