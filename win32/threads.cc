#include "win32/threads.h"

#include <errno.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <system_error>
#include <thread>

#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/sync.h"

namespace win32 {
namespace {

class ThreadObject;

// What the kernel object and the running thread share; guarded by the dispatcher lock
// (the start routine and its parameter are fixed before the thread starts).
struct ThreadState {
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  DWORD id = 0;  // set by the thread itself before it waits at the gate
  DWORD suspend_count = 0;
  DWORD exit_code = STILL_ACTIVE;
  bool done = false;
  bool cancelled = false;  // never resumed and no handle left: end without running
  // The running thread's reference to its object, handed over when the suspend count
  // reaches 0; the thread takes it as it passes the gate.
  std::shared_ptr<ThreadObject> self;
  std::condition_variable gate;
};

class ThreadObject final : public Waitable {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}

  // Runs when no handle is left and the thread holds no reference: either the thread has
  // finished, or it was never resumed and can never be.
  ~ThreadObject() override {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    if (!state_->done) {
      state_->cancelled = true;
      state_->gate.notify_all();
    }
  }

  DWORD TryAcquire(DWORD) override { return state_->done ? WAIT_OBJECT_0 : WAIT_TIMEOUT; }

  ThreadState& state() { return *state_; }

  // With the dispatcher lock held.
  void Finish(DWORD exit_code) {
    state_->exit_code = exit_code;
    state_->done = true;
    Signal();
  }

 private:
  std::shared_ptr<ThreadState> state_;
};

void ThreadMain(std::shared_ptr<ThreadState> state) {
  std::shared_ptr<ThreadObject> self;
  {
    std::unique_lock<std::mutex> lock(DispatcherLock());
    state->id = GetCurrentThreadId();
    state->gate.notify_all();
    state->gate.wait(lock, [&] { return state->self || state->cancelled; });
    if (!state->self) return;
    self = std::move(state->self);
  }
  DWORD exit_code = state->start(state->parameter);
  {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    self->Finish(exit_code);
  }
  // `self` goes here, outside the lock: it may be the object's last reference.
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creation_flags, LPDWORD thread_id) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  state->start = start;
  state->parameter = parameter;
  state->suspend_count = (creation_flags & CREATE_SUSPENDED) ? 1 : 0;
  auto object = std::make_shared<ThreadObject>(state);
  if (state->suspend_count == 0) state->self = object;
  try {
    std::thread(ThreadMain, state).detach();
  } catch (const std::system_error&) {
    state->self.reset();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id;
  {
    std::unique_lock<std::mutex> lock(DispatcherLock());
    state->gate.wait(lock, [&] { return state->id != 0; });
    id = state->id;
  }
  if (thread_id) *thread_id = id;
  return InsertHandle(std::move(object));
}

uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr) {
  if (!start) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD id = 0;
  HANDLE handle = CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stack_size, start,
                               arglist, initflag, &id);
  if (!handle) {
    errno = EAGAIN;
    return 0;
  }
  if (thrdaddr) *thrdaddr = id;
  return reinterpret_cast<uintptr_t>(handle);
}

DWORD ResumeThread(HANDLE handle) {
  std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(handle);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  ThreadState& state = thread->state();
  DWORD previous = state.suspend_count;
  if (previous > 0 && --state.suspend_count == 0 && !state.done) {
    state.self = thread;
    state.gate.notify_all();
  }
  return previous;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
  std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(handle);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!exit_code) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  *exit_code = thread->state().exit_code;
  return TRUE;
}

}  // namespace win32
