#include "win32/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/pending.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/strbuf.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

DWORD ErrnoToError(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC: return 112;  // ERROR_DISK_FULL
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_INVALID_FUNCTION;
  }
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// A Windows path taken apart once: its full form and its host file.
struct Resolved {
  std::u16string full;
  std::string host;
};

bool Resolve(LPCWSTR path, Resolved* out) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  DWORD error = ERROR_SUCCESS;
  if (!FullWindowsPath(path, &out->full, &error) || !HostPathOf(out->full, &out->host, &error))
    return Fail(error);
  return true;
}

// ERROR_PATH_NOT_FOUND when the parent folder is missing, else ERROR_FILE_NOT_FOUND.
DWORD MissingError(const std::string& host) {
  std::string parent = host.substr(0, host.rfind('/'));
  struct stat st;
  if (parent.empty() || (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
    return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

bool IsReadOnly(const struct stat& st) {
  return !S_ISLNK(st.st_mode) && (st.st_mode & kWriteBits) == 0;
}

bool Offline() { return CurrentProcess().offline; }

bool DeniedHere(const std::u16string& full) {
  if (Offline()) return false;
  Machine* m = CurrentMachine();
  return m && m->DeniesWrite(full);
}

bool InUse(const struct stat& st) {
  return !S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode) && proctable::IsFileInUse(st);
}

DWORD AttributesOf(const std::string& host, const struct stat& lst) {
  DWORD attributes = 0;
  if (S_ISLNK(lst.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat target;
    if (::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes;
  }
  if (S_ISDIR(lst.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
  }
  if (IsReadOnly(lst)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME ToFileTime(const struct timespec& ts) {
  // 100-nanosecond intervals since 1601-01-01.
  uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
               static_cast<uint64_t>(ts.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// Windows wildcard match (* and ?), case-insensitive; "*.*" matches every name.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*" || pattern == u"*") return true;
  size_t p = 0, n = 0, star = std::u16string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || FoldUnit(pattern[p]) == FoldUnit(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && (pattern[p] == u'*' || pattern[p] == u'.')) ++p;
  return p == pattern.size();
}

bool HasWildcard(std::u16string_view s) {
  return s.find_first_of(u"*?") != std::u16string_view::npos;
}

bool FillFindData(const std::string& host, std::u16string_view name, const struct stat& lst,
                  WIN32_FIND_DATAW* data) {
  if (name.size() >= MAX_PATH) return false;
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = AttributesOf(host, lst);
  data->ftCreationTime = ToFileTime(lst.st_ctim);
  data->ftLastAccessTime = ToFileTime(lst.st_atim);
  data->ftLastWriteTime = ToFileTime(lst.st_mtim);
  uint64_t size = S_ISREG(lst.st_mode) ? static_cast<uint64_t>(lst.st_size) : 0;
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  if (S_ISLNK(lst.st_mode)) data->dwReserved0 = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
  name.copy(data->cFileName, name.size());
  data->cFileName[name.size()] = 0;
  return true;
}

// Windows keeps a folder's read-only attribute from nothing inside it, but Linux lets only
// root change the entries of a folder without write bits. While it lives, this lends the
// owner's write bit to the folder that holds a host path.
class EntriesWritable {
 public:
  explicit EntriesWritable(const std::string& host) : folder_(host.substr(0, host.rfind('/'))) {
    struct stat st;
    if (folder_.empty() || ::stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_mode & kWriteBits) != 0)
      return;
    mode_ = st.st_mode & 07777;
    lent_ = ::chmod(folder_.c_str(), mode_ | S_IWUSR) == 0;
  }
  ~EntriesWritable() {
    if (lent_) ::chmod(folder_.c_str(), mode_);
  }
  EntriesWritable(const EntriesWritable&) = delete;
  EntriesWritable& operator=(const EntriesWritable&) = delete;

 private:
  std::string folder_;
  mode_t mode_ = 0;
  bool lent_ = false;
};

class FindObject : public KernelObject {
 public:
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

bool CopyContents(const std::string& from, const std::string& to, bool exclusive, mode_t mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(ErrnoToError(errno));
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  int out = ::open(to.c_str(), flags, 0600);
  if (out < 0) {
    int e = errno;
    ::close(in);
    return Fail(e == EEXIST ? ERROR_FILE_EXISTS : ErrnoToError(e));
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  int e = errno;
  ::fchmod(out, mode & 07777);
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) return Fail(ErrnoToError(e));
  return true;
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR file_name) {
  Resolved r;
  if (!Resolve(file_name, &r)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (::lstat(r.host.c_str(), &st) != 0) {
    SetLastError(MissingError(r.host));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(r.host, st);
}

BOOL SetFileAttributesW(LPCWSTR file_name, DWORD attributes) {
  Resolved r;
  if (!Resolve(file_name, &r)) return FALSE;
  struct stat st;
  if (::lstat(r.host.c_str(), &st) != 0) return Fail(MissingError(r.host));
  if (S_ISLNK(st.st_mode)) return TRUE;
  if (DeniedHere(r.full)) return Fail(ERROR_ACCESS_DENIED);
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~kWriteBits)
                  : (mode & kWriteBits) ? mode
                                        : (mode | S_IWUSR);
  if (wanted != mode && ::chmod(r.host.c_str(), wanted) != 0) return Fail(ErrnoToError(errno));
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR file_name, LPWIN32_FIND_DATAW find_data) {
  if (!file_name || !find_data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string pattern_path(file_name);
  for (char16_t& c : pattern_path)
    if (c == u'/') c = u'\\';
  size_t slash = pattern_path.rfind(u'\\');
  std::u16string dir = slash == std::u16string::npos ? u"." : pattern_path.substr(0, slash + 1);
  std::u16string pattern =
      slash == std::u16string::npos ? pattern_path : pattern_path.substr(slash + 1);
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<FindObject>();
  if (!HasWildcard(pattern)) {
    Resolved r;
    if (!Resolve(file_name, &r)) return INVALID_HANDLE_VALUE;
    struct stat st;
    if (::lstat(r.host.c_str(), &st) != 0) {
      SetLastError(MissingError(r.host));
      return INVALID_HANDLE_VALUE;
    }
    std::u16string name = FromUtf8(r.host.substr(r.host.rfind('/') + 1));
    WIN32_FIND_DATAW data;
    if (FillFindData(r.host, name, st, &data)) find->entries.push_back(data);
  } else {
    Resolved r;
    if (!Resolve(dir.c_str(), &r)) return INVALID_HANDLE_VALUE;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(r.host.c_str()), ::closedir);
    if (!d) {
      SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToError(errno));
      return INVALID_HANDLE_VALUE;
    }
    int dfd = ::dirfd(d.get());
    bool is_root = PathComponents(r.full).empty();
    WIN32_FIND_DATAW data;
    struct stat st;
    if (!is_root) {
      if (::fstat(dfd, &st) == 0) {
        for (const char16_t* dot : {u".", u".."}) {
          if (WildcardMatch(pattern, dot) && FillFindData(r.host, dot, st, &data))
            find->entries.push_back(data);
        }
      }
    }
    while (dirent* e = ::readdir(d.get())) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      std::u16string name = FromUtf8(e->d_name);
      if (!WildcardMatch(pattern, name)) continue;
      if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      std::string host = r.host + "/" + e->d_name;
      if (FillFindData(host, name, st, &data)) find->entries.push_back(data);
    }
  }
  if (find->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *find_data = find->entries[0];
  find->next = 1;
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(find);
}

BOOL FindNextFileW(HANDLE find_file, LPWIN32_FIND_DATAW find_data) {
  auto find = LookupHandleAs<FindObject>(find_file);
  if (!find || !find_data) return Fail(ERROR_INVALID_HANDLE);
  if (find->next >= find->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  *find_data = find->entries[find->next++];
  return TRUE;
}

BOOL FindClose(HANDLE find_file) {
  if (!LookupHandleAs<FindObject>(find_file)) return Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(find_file);
}

BOOL CreateDirectoryW(LPCWSTR path_name, LPSECURITY_ATTRIBUTES) {
  Resolved r;
  if (!Resolve(path_name, &r)) return FALSE;
  if (PathComponents(r.full).empty()) return Fail(ERROR_ACCESS_DENIED);
  struct stat st;
  if (::lstat(r.host.c_str(), &st) == 0) return Fail(ERROR_ALREADY_EXISTS);
  if (DeniedHere(r.full)) return Fail(ERROR_ACCESS_DENIED);
  EntriesWritable writable(r.host);
  if (::mkdir(r.host.c_str(), 0777) != 0)
    return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToError(errno));
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path_name) {
  Resolved r;
  if (!Resolve(path_name, &r)) return FALSE;
  struct stat st;
  if (::lstat(r.host.c_str(), &st) != 0) return Fail(MissingError(r.host));
  if (DeniedHere(r.full)) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISLNK(st.st_mode)) {
    struct stat target;
    if (::stat(r.host.c_str(), &target) != 0 || !S_ISDIR(target.st_mode))
      return Fail(ERROR_DIRECTORY);
    EntriesWritable writable(r.host);
    if (::unlink(r.host.c_str()) != 0) return Fail(ErrnoToError(errno));
    return TRUE;
  }
  if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
  if (IsReadOnly(st)) return Fail(ERROR_ACCESS_DENIED);
  EntriesWritable writable(r.host);
  if (::rmdir(r.host.c_str()) != 0) return Fail(ErrnoToError(errno));
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR file_name) {
  Resolved r;
  if (!Resolve(file_name, &r)) return FALSE;
  struct stat st;
  if (::lstat(r.host.c_str(), &st) != 0) return Fail(MissingError(r.host));
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISLNK(st.st_mode)) {
    // A directory link is a junction: DeleteFileW refuses it, as Windows does.
    struct stat target;
    if (::stat(r.host.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
      return Fail(ERROR_ACCESS_DENIED);
  }
  if (IsReadOnly(st) || DeniedHere(r.full)) return Fail(ERROR_ACCESS_DENIED);
  if (InUse(st)) return Fail(ERROR_SHARING_VIOLATION);
  EntriesWritable writable(r.host);
  if (::unlink(r.host.c_str()) != 0) return Fail(ErrnoToError(errno));
  return TRUE;
}

BOOL CopyFileW(LPCWSTR existing_file_name, LPCWSTR new_file_name, BOOL fail_if_exists) {
  Resolved from, to;
  if (!Resolve(existing_file_name, &from) || !Resolve(new_file_name, &to)) return FALSE;
  struct stat src;
  if (::stat(from.host.c_str(), &src) != 0) return Fail(MissingError(from.host));
  if (S_ISDIR(src.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (DeniedHere(to.full)) return Fail(ERROR_ACCESS_DENIED);
  struct stat dst;
  bool exists = ::stat(to.host.c_str(), &dst) == 0;
  if (exists) {
    if (fail_if_exists) return Fail(ERROR_FILE_EXISTS);
    if (S_ISDIR(dst.st_mode) || IsReadOnly(dst)) return Fail(ERROR_ACCESS_DENIED);
    if (InUse(dst)) return Fail(ERROR_SHARING_VIOLATION);
    if (src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) return Fail(ERROR_SHARING_VIOLATION);
  }
  std::string parent = to.host.substr(0, to.host.rfind('/'));
  struct stat pst;
  if (!parent.empty() && (::stat(parent.c_str(), &pst) != 0 || !S_ISDIR(pst.st_mode)))
    return Fail(ERROR_PATH_NOT_FOUND);
  EntriesWritable writable(to.host);
  return CopyContents(from.host, to.host, fail_if_exists != FALSE, src.st_mode) ? TRUE : FALSE;
}

namespace {

bool MoveNow(const Resolved& from, const Resolved& to, DWORD flags) {
  struct stat src;
  if (::lstat(from.host.c_str(), &src) != 0) return Fail(MissingError(from.host));
  if (DeniedHere(from.full) || DeniedHere(to.full)) return Fail(ERROR_ACCESS_DENIED);
  struct stat dst;
  bool exists = ::lstat(to.host.c_str(), &dst) == 0;
  bool same_entry = exists && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino;
  if (exists && !same_entry) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(dst.st_mode) || IsReadOnly(dst)) return Fail(ERROR_ACCESS_DENIED);
    if (InUse(dst)) return Fail(ERROR_SHARING_VIOLATION);
  }
  std::string parent = to.host.substr(0, to.host.rfind('/'));
  struct stat pst;
  if (!parent.empty() && (::stat(parent.c_str(), &pst) != 0 || !S_ISDIR(pst.st_mode)))
    return Fail(ERROR_PATH_NOT_FOUND);
  bool same_volume = DriveLetterOf(from.full) == DriveLetterOf(to.full);
  EntriesWritable source_folder(from.host);
  EntriesWritable target_folder(to.host);
  if (same_volume) {
    // The same entry under a name that differs in case: the move changes the name's case.
    std::string dest = to.host;
    if (same_entry) dest = parent + "/" + ToUtf8(to.full.substr(to.full.rfind(u'\\') + 1));
    if (::rename(from.host.c_str(), dest.c_str()) == 0) return true;
    if (errno != EXDEV) return Fail(ErrnoToError(errno));
  }
  // Across volumes only files move, by copy and delete; a file in use cannot be deleted,
  // so the move fails and the copy is taken back.
  if (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(src.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
  if (InUse(src)) return Fail(ERROR_SHARING_VIOLATION);
  if (!CopyContents(from.host, to.host, false, src.st_mode)) return false;
  if (::unlink(from.host.c_str()) != 0) {
    DWORD e = ErrnoToError(errno);
    ::unlink(to.host.c_str());
    return Fail(e);
  }
  return true;
}

}  // namespace

BOOL MoveFileW(LPCWSTR existing_file_name, LPCWSTR new_file_name) {
  return MoveFileExW(existing_file_name, new_file_name, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExW(LPCWSTR existing_file_name, LPCWSTR new_file_name, DWORD flags) {
  Resolved from;
  if (!Resolve(existing_file_name, &from)) return FALSE;
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (flags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string target;
    if (new_file_name && *new_file_name) {
      Resolved to;
      if (!Resolve(new_file_name, &to)) return FALSE;
      target = to.full;
    }
    if (!CurrentProcess().elevated && !Offline()) return Fail(ERROR_ACCESS_DENIED);
    return AppendPendingOperation(from.full, target, (flags & MOVEFILE_REPLACE_EXISTING) != 0)
               ? TRUE
               : Fail(ERROR_REGISTRY_IO_FAILED);
  }
  if (!new_file_name) {
    // Deleting at once is only allowed through the delayed form.
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Resolved to;
  if (!Resolve(new_file_name, &to)) return FALSE;
  return MoveNow(from, to, flags) ? TRUE : FALSE;
}

DWORD GetTempPathW(DWORD buffer_length, LPWSTR buffer) {
  std::u16string path = UserProfileDir(CurrentProcess().user) + u"\\AppData\\Local\\Temp\\";
  return ReturnString(path, buffer, buffer_length);
}

DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD buffer_length) {
  // Short names are not kept; an existing path is its own short form.
  if (!long_path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (GetFileAttributesW(long_path) == INVALID_FILE_ATTRIBUTES) return 0;
  return ReturnString(long_path, short_path, buffer_length);
}

DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD buffer_length) {
  return GetShortPathNameW(short_path, long_path, buffer_length);
}

DWORD GetFullPathNameW(LPCWSTR file_name, DWORD buffer_length, LPWSTR buffer, LPWSTR* file_part) {
  if (!file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string full;
  DWORD error = ERROR_SUCCESS;
  if (!FullWindowsPath(file_name, &full, &error)) {
    SetLastError(error);
    return 0;
  }
  std::u16string_view given(file_name);
  if (!given.empty() && (given.back() == u'\\' || given.back() == u'/') && full.back() != u'\\')
    full += u'\\';
  DWORD n = ReturnString(full, buffer, buffer_length);
  if (file_part && buffer && n < buffer_length) {
    size_t slash = full.rfind(u'\\');
    *file_part = (slash + 1 < full.size()) ? buffer + slash + 1 : nullptr;
  }
  return n;
}

DWORD GetCurrentDirectoryW(DWORD buffer_length, LPWSTR buffer) {
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) {
    SetLastError(ERROR_CURRENT_DIRECTORY);
    return 0;
  }
  return ReturnString(WindowsPathOf(cwd), buffer, buffer_length);
}

BOOL SetCurrentDirectoryW(LPCWSTR path_name) {
  Resolved r;
  if (!Resolve(path_name, &r)) return FALSE;
  if (::chdir(r.host.c_str()) != 0) return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrnoToError(errno));
  return TRUE;
}

BOOL PathFileExistsW(LPCWSTR path) {
  return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace win32
