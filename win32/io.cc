#include "win32/io.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "win32/errors.h"

namespace win32 {
namespace {

// One end of a pipe. The descriptor is close-on-exec: a child gets a copy only through
// the dup2 of its standard handles.
class PipeEnd : public KernelObject {
 public:
  explicit PipeEnd(int fd) : fd_(fd) {}
  ~PipeEnd() override { ::close(fd_); }
  PipeEnd(const PipeEnd&) = delete;
  PipeEnd& operator=(const PipeEnd&) = delete;
  int HostFd() const override { return fd_; }

 private:
  int fd_;
};

DWORD ErrnoToError(int e) {
  switch (e) {
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EPIPE:
      return ERROR_NO_DATA;
    case EFAULT:
      return ERROR_NOACCESS;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

// write(2) with SIGPIPE held back on this thread and any SIGPIPE it raised consumed, so
// that a pipe without a reader gives EPIPE instead of ending the process.
ssize_t WriteQuietly(int fd, const void* data, size_t size) {
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  int saved = errno;
  if (n < 0 && saved == EPIPE && !was_pending) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = saved;
  return n;
}

}  // namespace

BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, LPSECURITY_ATTRIBUTES, DWORD size) {
  if (!read_pipe || !write_pipe) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(ErrnoToError(errno));
    return FALSE;
  }
  if (size > 0) ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));  // a hint only
  // The objects own the descriptors from here on, also when inserting fails.
  auto reader = std::make_shared<PipeEnd>(fds[0]);
  auto writer = std::make_shared<PipeEnd>(fds[1]);
  *read_pipe = InsertHandle(std::move(reader));
  *write_pipe = InsertHandle(std::move(writer));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  if (bytes_read) *bytes_read = 0;
  if (overlapped || (!buffer && bytes_to_read)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Keep the object, and so its descriptor, alive for the whole read.
  std::shared_ptr<KernelObject> object = LookupHandle(file);
  if (!object) return FALSE;
  int fd = object->HostFd();
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (bytes_to_read == 0) return TRUE;
  ssize_t n;
  do {
    n = ::read(fd, buffer, bytes_to_read);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(ErrnoToError(errno));
    return FALSE;
  }
  if (n == 0) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
  }
  if (bytes_read) *bytes_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  if (bytes_written) *bytes_written = 0;
  if (overlapped || (!buffer && bytes_to_write)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<KernelObject> object = LookupHandle(file);
  if (!object) return FALSE;
  int fd = object->HostFd();
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* data = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < bytes_to_write) {
    ssize_t n = WriteQuietly(fd, data + done, bytes_to_write - done);
    if (n < 0) {
      if (bytes_written) *bytes_written = done;
      SetLastError(ErrnoToError(errno));
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (bytes_written) *bytes_written = done;
  return TRUE;
}

}  // namespace win32
