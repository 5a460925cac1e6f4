#include "base/thread.h"

#include <cstdint>

#include "win32/handles.h"
#include "win32/threads.h"

namespace Kx {

// Every field is read and written under `lock`.
struct KxThreadData {
  void* argument = nullptr;
  KxThread::Function function = nullptr;
  bool running = false;
  win32::DWORD thread_id = 0;
  win32::HANDLE thread_handle = win32::INVALID_HANDLE_VALUE;
  // The handle of the last thread once its body returned, kept until the next run replaces
  // it or the object goes.
  win32::HANDLE finished_handle = win32::INVALID_HANDLE_VALUE;
  uint32_t reserved = 0;
  IKxThreadExitListener* exit_listener = nullptr;
  KxCriticalSection lock;
  KxEvent started;  // manual-reset, set when the body is about to start
};

namespace {

void CloseValid(win32::HANDLE* handle) {
  if (*handle != win32::INVALID_HANDLE_VALUE && *handle) win32::CloseHandle(*handle);
  *handle = win32::INVALID_HANDLE_VALUE;
}

}  // namespace

KxThread::KxThread(Function function, void* argument) : data_(new KxThreadData) {
  data_->function = function;
  data_->argument = argument;
  data_->started.Create(std::u16string(), true, false);
}

KxThread::~KxThread() {
  CloseValid(&data_->thread_handle);
  CloseValid(&data_->finished_handle);
  data_->running = false;
  data_->thread_id = 0;
  delete data_;  // destroys the event and the lock
}

bool KxThread::SetArgument(void* argument) {
  KxAutoLock lock(data_->lock);
  if (data_->running) return false;
  data_->argument = argument;
  return true;
}

bool KxThread::SetExitListener(IKxThreadExitListener* listener) {
  KxAutoLock lock(data_->lock);
  if (data_->running) return false;
  data_->exit_listener = listener;
  return true;
}

bool KxThread::IsRunning() const {
  KxAutoLock lock(data_->lock);
  return data_->running;
}

bool KxThread::Start() {
  bool started = false;
  {
    KxAutoLock lock(data_->lock);
    // A second run while one goes on would lose track of the first thread's handle.
    if (!data_->function || data_->running) return false;
    AddRef();  // the new thread's reference
    unsigned id = 0;
    uintptr_t handle = win32::_beginthreadex(nullptr, 0, &KxThread::ThreadProc, this,
                                             win32::CREATE_SUSPENDED, &id);
    if (handle) {
      data_->thread_id = id;
      data_->thread_handle = reinterpret_cast<win32::HANDLE>(handle);
      data_->running = true;
      data_->started.Reset();
      started = win32::ResumeThread(data_->thread_handle) != static_cast<win32::DWORD>(-1);
    }
    if (!started) {
      // A thread that was never resumed ends without running once its handle is closed.
      CloseValid(&data_->thread_handle);
      CloseValid(&data_->finished_handle);
      data_->thread_id = 0;
      data_->running = false;
    }
  }
  // Outside the lock: without a reference of its own the caller may see the object go here.
  if (!started) Release();
  return started;
}

unsigned KxThread::ThreadProc(void* parameter) {
  KxThread* thread = static_cast<KxThread*>(parameter);
  KxRefPtr<KxThread> self(thread);  // held for the whole procedure
  thread->Release();                // the reference Start took for this thread
  KxThreadData* data = thread->data_;

  Function function;
  void* argument;
  {
    KxAutoLock lock(data->lock);
    data->started.Set();
    function = data->function;
    argument = data->argument;
    data->running = true;
  }
  try {
    function(argument);
  } catch (...) {
    // A failure escaping the body ends the run like a return.
  }
  IKxThreadExitListener* listener;
  {
    KxAutoLock lock(data->lock);
    CloseValid(&data->finished_handle);
    data->finished_handle = data->thread_handle;
    data->thread_handle = win32::INVALID_HANDLE_VALUE;
    data->running = false;
    listener = data->exit_listener;
  }
  if (listener) listener->OnThreadExit(thread);
  return 0;  // `self` goes last and may destroy the object
}

}  // namespace Kx
