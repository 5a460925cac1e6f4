#include "win32/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/threads.h"

namespace win32 {

std::mutex& DispatcherLock() {
  static std::mutex* lock = new std::mutex();  // outlives every thread
  return *lock;
}

// ---- Waiting ---------------------------------------------------------------------------

// The registration of one waiting thread on the objects it waits for.
class WaitBlock {
 public:
  explicit WaitBlock(const std::vector<Waitable*>& objects) : objects_(objects) {}
  WaitBlock(const WaitBlock&) = delete;
  WaitBlock& operator=(const WaitBlock&) = delete;

  std::condition_variable& cv() { return cv_; }

  // Both with the dispatcher lock held.
  void Register() {
    if (registered_) return;
    for (Waitable* object : objects_)
      if (object) object->waiters_.push_back(&cv_);
    registered_ = true;
  }
  void Unregister() {
    if (!registered_) return;
    for (Waitable* object : objects_) {
      if (!object) continue;
      auto& list = object->waiters_;
      auto it = std::find(list.begin(), list.end(), &cv_);
      if (it != list.end()) list.erase(it);
    }
    registered_ = false;
  }

 private:
  const std::vector<Waitable*>& objects_;
  std::condition_variable cv_;
  bool registered_ = false;
};

void Waitable::Signal() {
  for (std::condition_variable* cv : waiters_) cv->notify_one();
}

namespace {

// How often objects that change state without Signal are looked at.
constexpr auto kPollSlice = std::chrono::milliseconds(10);

// With the dispatcher lock held. `foreign` holds the polled state of objects that are not
// Waitables (WAIT_TIMEOUT for the Waitables themselves).
DWORD TryAny(const std::vector<Waitable*>& objects, const std::vector<DWORD>& foreign,
             DWORD thread_id) {
  for (size_t i = 0; i < objects.size(); ++i) {
    DWORD r = objects[i] ? objects[i]->TryAcquire(thread_id) : foreign[i];
    if (r == WAIT_OBJECT_0) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    if (r == WAIT_ABANDONED) return WAIT_ABANDONED_0 + static_cast<DWORD>(i);
  }
  return WAIT_TIMEOUT;
}

DWORD TryAll(const std::vector<Waitable*>& objects, const std::vector<DWORD>& foreign,
             DWORD thread_id) {
  for (size_t i = 0; i < objects.size(); ++i)
    if (!objects[i] && foreign[i] != WAIT_OBJECT_0 && foreign[i] != WAIT_ABANDONED)
      return WAIT_TIMEOUT;
  DWORD abandoned = WAIT_TIMEOUT;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (!objects[i]) {
      if (foreign[i] == WAIT_ABANDONED) abandoned = static_cast<DWORD>(i);
      continue;
    }
    DWORD r = objects[i]->TryAcquire(thread_id);
    if (r == WAIT_TIMEOUT) {
      while (i-- > 0)
        if (objects[i]) objects[i]->Unacquire(thread_id);
      return WAIT_TIMEOUT;
    }
    if (r == WAIT_ABANDONED) abandoned = static_cast<DWORD>(i);
  }
  return abandoned == WAIT_TIMEOUT ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + abandoned;
}

// Waits on objects kept alive by the caller.
DWORD WaitForObjects(const std::vector<KernelObject*>& objects, bool wait_all, DWORD milliseconds) {
  std::vector<Waitable*> waitables(objects.size(), nullptr);
  std::vector<DWORD> foreign(objects.size(), WAIT_TIMEOUT);
  bool has_foreign = false;
  bool polling = false;
  for (size_t i = 0; i < objects.size(); ++i) {
    waitables[i] = dynamic_cast<Waitable*>(objects[i]);
    if (!waitables[i]) has_foreign = true;
    if (!waitables[i] || waitables[i]->NeedsPolling()) polling = true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  const DWORD thread_id = GetCurrentThreadId();
  WaitBlock block(waitables);
  DWORD result = WAIT_TIMEOUT;

  std::unique_lock<std::mutex> lock(DispatcherLock());
  for (;;) {
    if (has_foreign) {
      lock.unlock();  // other families take their own locks
      DWORD failed = WAIT_TIMEOUT;
      for (size_t i = 0; i < objects.size(); ++i) {
        if (waitables[i]) continue;
        foreign[i] = objects[i]->Wait(0);
        if (foreign[i] == WAIT_FAILED) failed = WAIT_FAILED;
      }
      lock.lock();
      if (failed == WAIT_FAILED) {
        result = WAIT_FAILED;
        break;
      }
    }
    result =
        wait_all ? TryAll(waitables, foreign, thread_id) : TryAny(waitables, foreign, thread_id);
    if (result != WAIT_TIMEOUT || milliseconds == 0) break;
    const auto now = std::chrono::steady_clock::now();
    if (milliseconds != INFINITE && now >= deadline) break;
    block.Register();
    if (polling) {
      std::chrono::steady_clock::duration slice = kPollSlice;
      if (milliseconds != INFINITE)
        slice = std::min<std::chrono::steady_clock::duration>(slice, deadline - now);
      block.cv().wait_for(lock, slice);
    } else if (milliseconds == INFINITE) {
      block.cv().wait(lock);
    } else {
      block.cv().wait_until(lock, deadline);
    }
  }
  block.Unregister();
  return result;
}

}  // namespace

DWORD Waitable::Wait(DWORD milliseconds) { return WaitForObjects({this}, false, milliseconds); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> held;  // keeps the objects alive while waiting
  std::vector<KernelObject*> objects;
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<KernelObject> object = LookupHandle(handles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Waiting for all of one object twice could never be satisfied for an auto-reset event.
    if (wait_all && std::find(objects.begin(), objects.end(), object.get()) != objects.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    objects.push_back(object.get());
    held.push_back(std::move(object));
  }
  return WaitForObjects(objects, wait_all != FALSE, milliseconds);
}

// ---- Events and mutexes ------------------------------------------------------------------

namespace {

class EventObject final : public Waitable {
 public:
  EventObject(bool manual_reset, bool signalled)
      : manual_reset_(manual_reset), signalled_(signalled) {}

  DWORD TryAcquire(DWORD) override {
    if (!signalled_) return WAIT_TIMEOUT;
    if (!manual_reset_) signalled_ = false;
    return WAIT_OBJECT_0;
  }
  void Unacquire(DWORD) override {
    if (!manual_reset_) signalled_ = true;
  }

  // With the dispatcher lock held.
  void Set() {
    signalled_ = true;
    Signal();
  }
  void Reset() { signalled_ = false; }

 private:
  const bool manual_reset_;
  bool signalled_;
};

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

int OpenLockFile(const std::string& path, bool create) {
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int Flock(int fd, int operation) {
  int r;
  do {
    r = ::flock(fd, operation);
  } while (r != 0 && errno == EINTR);
  return r;
}

// The folder of the machine's mutex lock files, created on first use; empty (with the last
// error set) when there is no machine.
std::string MutexDir() {
  Machine* machine = CurrentMachine();
  if (!machine) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::string();
  }
  std::string run = machine->RunDir();
  std::string dir = run + "/mutex";
  if (::mkdir(run.c_str(), 0777) != 0 && errno != EEXIST) {
    SetLastError(ErrorFromErrno(errno));
    return std::string();
  }
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    SetLastError(ErrorFromErrno(errno));
    return std::string();
  }
  return dir;
}

// Letters, digits, '-' and '_' stay; every other UTF-16 unit becomes "%XXXX".
void AppendEscapedUnit(std::string* out, char16_t c) {
  static const char kHex[] = "0123456789ABCDEF";
  if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
      c == u'-' || c == u'_') {
    out->push_back(static_cast<char>(c));
    return;
  }
  out->push_back('%');
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[(c >> shift) & 0xF]);
}

// The file name of an object name. Escaping keeps every name inside the folder (no '/', no
// '.') and gives different names different files; a name too long for the file system
// keeps its start and gets a hash of the whole name.
std::string MutexFileBase(std::u16string_view name) {
  std::string out;
  for (char16_t c : name) AppendEscapedUnit(&out, c);
  constexpr size_t kMaxBase = 200;  // leaves room for the suffixes within 255 bytes
  if (out.size() <= kMaxBase) return out;
  uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over the bytes of the UTF-16 units
  for (char16_t c : name) {
    hash = (hash ^ (c & 0xFF)) * 0x100000001b3ULL;
    hash = (hash ^ (c >> 8)) * 0x100000001b3ULL;
  }
  // '~' never comes out of the escaping, so a shortened name cannot meet a plain one.
  std::string shortened;
  for (char16_t c : name) {
    std::string unit;
    AppendEscapedUnit(&unit, c);
    if (shortened.size() + unit.size() > kMaxBase - 17) break;
    shortened += unit;
  }
  shortened.push_back('~');
  static const char kHex[] = "0123456789ABCDEF";
  for (int shift = 60; shift >= 0; shift -= 4) shortened.push_back(kHex[(hash >> shift) & 0xF]);
  return shortened;
}

// Holds the machine-wide guard that makes testing for existence and creating one step.
class GuardLock {
 public:
  explicit GuardLock(const std::string& dir) {
    fd_ = OpenLockFile(dir + "/.guard", true);
    if (fd_ >= 0 && Flock(fd_, LOCK_EX) != 0) {
      int error = errno;
      ::close(fd_);
      fd_ = -1;
      errno = error;
    }
  }
  ~GuardLock() {
    if (fd_ >= 0) ::close(fd_);  // drops the lock
  }
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The lock files of one named mutex as this process holds them: "<name>.handles" held
// shared while the process has a handle (so the mutex exists while anyone holds it), and
// "<name>.owner" held exclusive while a thread of this process owns it. The owner file is
// non-empty while owned, so that a new owner sees when the last one died without releasing.
class MutexFiles {
 public:
  // With the guard held. Opens (or, with `create`, creates) the files and enters this
  // process as a holder. Null with the last error set on failure; ERROR_FILE_NOT_FOUND when
  // the mutex does not exist and `create` is false.
  static std::unique_ptr<MutexFiles> Open(const std::string& dir, const std::string& base,
                                          bool create, bool* existed) {
    std::unique_ptr<MutexFiles> files(new MutexFiles());
    files->handles_fd_ = OpenLockFile(dir + "/" + base + ".handles", create);
    if (files->handles_fd_ < 0) {
      SetLastError(errno == ENOENT && !create ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
      return nullptr;
    }
    if (Flock(files->handles_fd_, LOCK_EX | LOCK_NB) == 0) {
      *existed = false;
    } else if (errno == EWOULDBLOCK) {
      *existed = true;
    } else {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    if (!*existed && !create) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    // Under the guard nobody else holds it exclusively, so this never waits.
    if (Flock(files->handles_fd_, LOCK_SH | LOCK_NB) != 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    files->owner_fd_ = OpenLockFile(dir + "/" + base + ".owner", true);
    if (files->owner_fd_ < 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    // A fresh mutex has no owner to have abandoned it.
    if (!*existed && ::ftruncate(files->owner_fd_, 0) != 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    return files;
  }

  ~MutexFiles() {
    // The owner file first: once the handles lock goes, a creator may take the owner lock.
    if (owner_fd_ >= 0) ::close(owner_fd_);
    if (handles_fd_ >= 0) ::close(handles_fd_);
  }

  bool TryLockOwner(bool* abandoned) {
    if (Flock(owner_fd_, LOCK_EX | LOCK_NB) != 0) return false;
    struct stat st;
    *abandoned = ::fstat(owner_fd_, &st) == 0 && st.st_size > 0;
    if (!*abandoned && ::pwrite(owner_fd_, "1", 1, 0) != 1) {
      // Without the mark a later death would pass unnoticed; ownership still holds.
    }
    return true;
  }

  void UnlockOwner() {
    if (::ftruncate(owner_fd_, 0) != 0) {
      // The next owner will see the mutex as abandoned; nothing else depends on the mark.
    }
    Flock(owner_fd_, LOCK_UN);
  }

 private:
  MutexFiles() = default;
  int handles_fd_ = -1;
  int owner_fd_ = -1;
};

class MutexObject final : public Waitable {
 public:
  explicit MutexObject(std::unique_ptr<MutexFiles> files) : files_(std::move(files)) {}

  DWORD TryAcquire(DWORD thread_id) override {
    if (owner_ == thread_id) {
      ++count_;
      return WAIT_OBJECT_0;
    }
    if (owner_ != 0) return WAIT_TIMEOUT;
    bool abandoned = false;
    if (files_ && !files_->TryLockOwner(&abandoned)) return WAIT_TIMEOUT;
    owner_ = thread_id;
    count_ = 1;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }
  void Unacquire(DWORD thread_id) override { Release(thread_id); }
  bool NeedsPolling() const override { return files_ != nullptr; }

  // With the dispatcher lock held; false when the thread does not own the mutex.
  bool Release(DWORD thread_id) {
    if (owner_ != thread_id || owner_ == 0) return false;
    if (--count_ == 0) {
      owner_ = 0;
      if (files_) files_->UnlockOwner();
      Signal();
    }
    return true;
  }

 private:
  std::unique_ptr<MutexFiles> files_;  // null for an unnamed mutex
  DWORD owner_ = 0;
  DWORD count_ = 0;
};

// Named events and mutexes of this process. A mutex entry belongs to the machine it was
// created on; after the process binds to another machine it no longer answers for the name.
struct NamedEntry {
  std::weak_ptr<Waitable> object;
  std::string machine_root;  // empty for an event
};

struct NamedObjects {
  std::mutex mutex;
  std::map<std::u16string, NamedEntry> entries;

  // With `mutex` held. `machine_root` empty: any live object of the name counts.
  std::shared_ptr<Waitable> Find(const std::u16string& name, const std::string& machine_root) {
    auto it = entries.find(name);
    if (it == entries.end()) return nullptr;
    std::shared_ptr<Waitable> object = it->second.object.lock();
    if (object && !machine_root.empty() && !it->second.machine_root.empty() &&
        it->second.machine_root != machine_root)
      return nullptr;
    return object;
  }

  void Add(const std::u16string& name, const std::shared_ptr<Waitable>& object,
           const std::string& machine_root) {
    for (auto it = entries.begin(); it != entries.end();)
      it = it->second.object.expired() ? entries.erase(it) : std::next(it);
    entries[name] = NamedEntry{object, machine_root};
  }
};

NamedObjects& Named() {
  static NamedObjects* named = new NamedObjects();  // outlives every thread
  return *named;
}

// The name an object is known by; false (with the last error set) for an unusable name.
// A null or empty name makes an unnamed object: `*key` is empty.
bool ObjectKey(LPCWSTR name, std::u16string* key) {
  key->clear();
  if (!name || !*name) return true;
  std::u16string_view view(name);
  if (view.size() > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  constexpr std::u16string_view kLocal = u"Local\\";
  if (view.substr(0, kLocal.size()) == kLocal) view.remove_prefix(kLocal.size());
  if (view.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  key->assign(view);
  return true;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
  std::u16string key;
  if (!ObjectKey(name, &key)) return nullptr;
  auto fresh = [&] { return std::make_shared<EventObject>(manual_reset, initial_state); };
  if (key.empty()) {
    HANDLE handle = InsertHandle(fresh());
    SetLastError(ERROR_SUCCESS);
    return handle;
  }
  NamedObjects& named = Named();
  std::lock_guard<std::mutex> lock(named.mutex);
  if (std::shared_ptr<Waitable> existing = named.Find(key, std::string())) {
    std::shared_ptr<EventObject> event = std::dynamic_pointer_cast<EventObject>(existing);
    if (!event) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HANDLE handle = InsertHandle(event);
    SetLastError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  std::shared_ptr<EventObject> event = fresh();
  named.Add(key, event, std::string());
  HANDLE handle = InsertHandle(event);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL SetEvent(HANDLE handle) {
  std::shared_ptr<EventObject> event = LookupHandleAs<EventObject>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  std::shared_ptr<EventObject> event = LookupHandleAs<EventObject>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  event->Reset();
  return TRUE;
}

namespace {

// Opens or creates a named mutex for CreateMutexW (`create`) or OpenMutexW.
HANDLE OpenNamedMutex(const std::u16string& key, bool create, bool initial_owner) {
  Machine* machine = CurrentMachine();
  if (!machine) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  const std::string root = machine->root();
  NamedObjects& named = Named();
  std::lock_guard<std::mutex> lock(named.mutex);
  if (std::shared_ptr<Waitable> existing = named.Find(key, root)) {
    std::shared_ptr<MutexObject> mutex = std::dynamic_pointer_cast<MutexObject>(existing);
    if (!mutex) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HANDLE handle = InsertHandle(mutex);
    SetLastError(create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  }
  std::string dir = MutexDir();
  if (dir.empty()) return nullptr;
  GuardLock guard(dir);
  if (!guard.ok()) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  bool existed = false;
  std::unique_ptr<MutexFiles> files = MutexFiles::Open(dir, MutexFileBase(key), create, &existed);
  if (!files) return nullptr;
  auto mutex = std::make_shared<MutexObject>(std::move(files));
  if (!existed && initial_owner) {
    // Still under the guard, so that no other process can take it first.
    std::lock_guard<std::mutex> dispatcher(DispatcherLock());
    mutex->TryAcquire(GetCurrentThreadId());
  }
  named.Add(key, mutex, root);
  HANDLE handle = InsertHandle(mutex);
  SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
  std::u16string key;
  if (!ObjectKey(name, &key)) return nullptr;
  if (!key.empty()) return OpenNamedMutex(key, true, initial_owner != FALSE);
  auto mutex = std::make_shared<MutexObject>(nullptr);
  if (initial_owner) {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    mutex->TryAcquire(GetCurrentThreadId());
  }
  HANDLE handle = InsertHandle(mutex);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
  std::u16string key;
  if (!ObjectKey(name, &key)) return nullptr;
  if (key.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return OpenNamedMutex(key, false, false);
}

BOOL ReleaseMutex(HANDLE handle) {
  std::shared_ptr<MutexObject> mutex = LookupHandleAs<MutexObject>(handle);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  if (!mutex->Release(GetCurrentThreadId())) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

// ---- Time ------------------------------------------------------------------------------

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

ULONGLONG GetTickCount64() {
  struct timespec ts;
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

// ---- Critical sections -------------------------------------------------------------------

namespace {

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::storage));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

std::recursive_mutex* SectionLock(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(section->storage));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  new (section->storage) std::recursive_mutex();
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { SectionLock(section)->lock(); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return SectionLock(section)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { SectionLock(section)->unlock(); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { SectionLock(section)->~recursive_mutex(); }

}  // namespace win32
