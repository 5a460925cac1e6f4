// Synchronisation objects: events, mutexes, critical sections, interlocked operations, the
// wait functions and the tick counters.
//
// Events and unnamed mutexes belong to this process. A named event is shared by name within
// this process only: another process creating an event of the same name gets its own event
// (nothing in the program signals events across processes). Named mutexes are machine-wide:
// each is a pair of lock files under <machine>/run/mutex/ held with flock(2), so that a
// process that ends in any way gives up its handles and its ownership, as Windows abandons
// the mutexes of a dead owner. Events and mutexes share one name space, as on Windows.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "win32/handles.h"
#include "win32/processes.h"  // SYNCHRONIZE, shared with the other object families
#include "win32/types.h"

namespace win32 {

constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;

// Events. An auto-reset event releases one waiter per SetEvent and resets itself; a
// manual-reset event stays signalled and releases every waiter until ResetEvent. A name that
// is already in use in this process returns a new handle to that event (its flags and state
// are left as they are) with ERROR_ALREADY_EXISTS; a name held by a mutex fails with
// ERROR_INVALID_HANDLE. The last error is ERROR_SUCCESS after a fresh creation.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Mutexes, owned by a thread and recursive. For a named mutex that exists anywhere on the
// machine (some process holds a handle to it) CreateMutexW returns a new handle with
// ERROR_ALREADY_EXISTS and does not take ownership, even when asked to; otherwise it creates
// the mutex, owned by the calling thread when asked, and the last error is ERROR_SUCCESS.
// Waiting on a mutex handle acquires it; WAIT_ABANDONED tells that its last owner ended (or
// closed its last handle) without releasing it. Within this process, a thread that ends
// while owning a mutex leaves it owned (only a process's end abandons). Names are
// case-sensitive; "Local\" names the same object as no prefix.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
// A new handle to an existing named mutex; null with ERROR_FILE_NOT_FOUND when none exists.
HANDLE OpenMutexW(DWORD desired_access, BOOL inherit_handle, LPCWSTR name);
// Fails with ERROR_NOT_OWNER unless the calling thread owns the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// Waits for any (lowest index wins) or all of up to MAXIMUM_WAIT_OBJECTS handles. Events,
// mutexes and threads are examined and taken at one instant; other waitable objects (such as
// processes) are looked at from time to time and must not change state by being waited on.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

// Sleep(0) gives up the rest of the time slice; Sleep(INFINITE) never returns.
void Sleep(DWORD milliseconds);
// Milliseconds since the host started (monotonic); GetTickCount wraps after 49.7 days.
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// A recursive lock the caller places anywhere (stack, heap, static); the storage holds the
// lock itself, so no allocation takes place. It must not be moved or copied while in use.
struct CRITICAL_SECTION {
  alignas(16) BYTE storage[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
// TRUE when the section was entered (it is free, or the calling thread already holds it).
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// Interlocked operations: sequentially consistent, wrapping on overflow.
// InterlockedExchangeAdd, InterlockedExchange and InterlockedCompareExchange return the value
// before the operation; InterlockedIncrement and InterlockedDecrement the value after it.
inline LONG InterlockedExchangeAdd(volatile LONG* addend, LONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(volatile LONG* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;  // the value found, written back by a failed exchange
}

// ---- For the stand-in's own object families -------------------------------------------

// An object the wait functions can take at one instant together with others. The state of
// every Waitable is guarded by the one dispatcher lock of the process; state changes that
// can release a waiter call Signal while holding it. The lock is never held while calling
// code outside this family, and no Waitable may be destroyed while it is held.
class Waitable : public KernelObject {
 public:
  DWORD Wait(DWORD milliseconds) override;

  // With the dispatcher lock held: takes the object for the calling thread if it is
  // signalled (an auto-reset event resets, a mutex gains its owner) and returns
  // WAIT_OBJECT_0 or WAIT_ABANDONED; returns WAIT_TIMEOUT when it is not signalled.
  virtual DWORD TryAcquire(DWORD thread_id) = 0;
  // With the dispatcher lock held: gives back what TryAcquire took, for a wait on all
  // objects that could not take all of them.
  virtual void Unacquire(DWORD thread_id) {}
  // True when the object can become signalled without Signal (another process holds it), so
  // that waiters look again from time to time.
  virtual bool NeedsPolling() const { return false; }

 protected:
  // With the dispatcher lock held: wakes the threads waiting on this object.
  void Signal();

 private:
  friend class WaitBlock;
  std::vector<std::condition_variable*> waiters_;  // one per waiting thread
};

std::mutex& DispatcherLock();

}  // namespace win32
