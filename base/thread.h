// Fire-and-forget worker threads that keep their object alive while they run.
//
//   KxRefPtr<KxThread> thread(new KxThread(&Body, argument));  // takes the first reference
//   thread->Start();
//   // dropping the pointer is safe at any time: the running thread holds its own reference
#pragma once

#include "base/sync.h"
#include "win32/types.h"

namespace Kx {

class KxThread;
struct KxThreadData;

// Told on the worker thread when a body has returned (the thread is idle again by then).
class IKxThreadExitListener {
 public:
  virtual void OnThreadExit(KxThread* thread) = 0;

 protected:
  ~IKxThreadExitListener() = default;
};

class KxThread : public KxRefCounted {
 public:
  // A body; one that returns a result can be wrapped by a capture-less lambda.
  using Function = void (*)(void* argument);

  KxThread(Function function, void* argument);
  ~KxThread() override;

  // Replaces the argument of the next run; false, changing nothing, while a run is going on.
  bool SetArgument(void* argument);
  // Runs the body on a new thread; false when there is no body, the thread cannot be
  // started, or a run is still going on. On failure the object stays idle and reusable.
  bool Start();
  // True from Start until the body has returned.
  bool IsRunning() const;
  // The listener told after each run; may be null. Refused (false) while a run is going on.
  bool SetExitListener(IKxThreadExitListener* listener);

 private:
  static unsigned ThreadProc(void* parameter);

  KxThreadData* data_;
};

}  // namespace Kx
