#include "win32/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/threads.h"
#include "win32/unicode.h"

extern char** environ;

namespace {

using namespace win32;

// Closes a handle at the end of a scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  void reset(HANDLE handle = nullptr) {
    if (handle_) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Polls until `done` holds or about five seconds have passed.
template <typename Predicate>
bool Eventually(Predicate done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// ---- Events ------------------------------------------------------------------------------

TEST(Events, AutoResetSignalsOneWaitPerSet) {
  ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));  // a set event stays set; sets do not add up
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

  ScopedHandle initially(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(initially.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initially.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, WaitTimesOutAfterItsPeriod) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), 60), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST(Events, AutoResetReleasesExactlyOneWaiter) {
  ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event.get(), 10000) == WAIT_OBJECT_0) ++released;
    });
  }
  for (int set = 1; set <= kWaiters; ++set) {
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(Eventually([&] { return released == set; })) << "after set " << set;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(released, set) << "one set released more than one waiter";
  }
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetReleasesEveryWaiter) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event.get(), 10000) == WAIT_OBJECT_0) ++released;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(SetEvent(event.get()));
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released, 4);
}

TEST(Events, NamedEventIsSharedWithinTheProcess) {
  const char16_t* kName = u"kx-sync-test-event";
  SetLastError(1234);
  ScopedHandle first(CreateEventW(nullptr, TRUE, FALSE, kName));
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  ScopedHandle second(CreateEventW(nullptr, FALSE, TRUE, kName));  // flags of the first hold
  ASSERT_NE(second.get(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(second.get(), first.get());
  EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(first.get()));
  EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_OBJECT_0);  // still manual-reset

  ScopedHandle local(CreateEventW(nullptr, TRUE, FALSE, u"Local\\kx-sync-test-event"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(local.get(), 0), WAIT_OBJECT_0);

  ScopedHandle other_case(CreateEventW(nullptr, TRUE, FALSE, u"KX-SYNC-TEST-EVENT"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // names are case-sensitive

  first.reset();
  second.reset();
  local.reset();
  ScopedHandle again(CreateEventW(nullptr, TRUE, FALSE, kName));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // the last handle took the name with it
  EXPECT_EQ(WaitForSingleObject(again.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, WrongHandlesFail) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, mutex.get(), closed}) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // Events and mutexes share one name space.
  ScopedHandle named_mutex(CreateMutexW(nullptr, FALSE, u"kx-sync-test-shared-name"));
  ASSERT_NE(named_mutex.get(), nullptr);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"kx-sync-test-shared-name"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ScopedHandle named_event(CreateEventW(nullptr, TRUE, FALSE, u"kx-sync-test-event-name"));
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"kx-sync-test-event-name"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- WaitForMultipleObjects --------------------------------------------------------------

TEST(WaitForMultipleObjects, AnyReturnsTheLowestSignalledIndex) {
  ScopedHandle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ScopedHandle b(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  ScopedHandle c(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  HANDLE handles[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);  // b was taken
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitForMultipleObjects, AllTakesEverythingOrNothing) {
  ScopedHandle a(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  ScopedHandle b(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ScopedHandle m(CreateMutexW(nullptr, FALSE, nullptr));
  HANDLE handles[] = {a.get(), m.get(), b.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_TIMEOUT);
  // Nothing was kept: the mutex is free for another thread and `a` is still set.
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m.get()));
  }).join();
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(SetEvent(a.get()));

  ASSERT_TRUE(SetEvent(b.get()));
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m.get()));  // the wait made this thread its owner
}

TEST(WaitForMultipleObjects, WakesWhenAnotherThreadSignals) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle thread(CreateThread(
      nullptr, 0,
      [](LPVOID go) -> DWORD { return WaitForSingleObject(go, 10000) == WAIT_OBJECT_0 ? 7 : 1; },
      go.get(), 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  HANDLE handles[] = {event.get(), thread.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 30), WAIT_TIMEOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(go.get());
  });
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 10000), WAIT_OBJECT_0 + 1);
  setter.join();
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 7u);
}

TEST(WaitForMultipleObjects, RejectsBadArguments) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event.get());
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  struct Case {
    std::vector<HANDLE> handles;
    BOOL wait_all;
    DWORD error;
  };
  const Case cases[] = {
      {{}, FALSE, ERROR_INVALID_PARAMETER},
      {many, FALSE, ERROR_INVALID_PARAMETER},
      {{event.get(), event.get()}, TRUE, ERROR_INVALID_PARAMETER},  // one object twice
      {{event.get(), closed}, FALSE, ERROR_INVALID_HANDLE},
      {{nullptr}, FALSE, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(c.handles.size()), c.handles.data(),
                                     c.wait_all, 0),
              WAIT_FAILED)
        << c.handles.size() << " handles";
    EXPECT_EQ(GetLastError(), c.error) << c.handles.size() << " handles";
  }
  // The same handle twice is fine when any one will do.
  HANDLE twice[] = {event.get(), event.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
}

// ---- Critical sections and interlocked operations -----------------------------------------

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  auto other_thread_enters = [&] {
    bool entered = false;
    std::thread([&] {
      entered = TryEnterCriticalSection(&section) != FALSE;
      if (entered) LeaveCriticalSection(&section);
    }).join();
    return entered;
  };
  EXPECT_TRUE(other_thread_enters());
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));  // the holder enters again
  EXPECT_FALSE(other_thread_enters());
  LeaveCriticalSection(&section);
  EXPECT_FALSE(other_thread_enters());  // still held once
  LeaveCriticalSection(&section);
  EXPECT_TRUE(other_thread_enters());
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, GuardsCountersUnderContention) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long long total = 0;  // plain memory: only the section makes this safe
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&section);
        ++total;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(total, 80000);
  DeleteCriticalSection(&section);
}

TEST(Interlocked, ReturnsTheDocumentedValues) {
  struct Case {
    const char* what;
    LONG start;
    LONG (*op)(volatile LONG*);
    LONG returned;
    LONG after;
  };
  const Case cases[] = {
      {"add 5", 10, [](volatile LONG* v) { return InterlockedExchangeAdd(v, 5); }, 10, 15},
      {"add -3", 1, [](volatile LONG* v) { return InterlockedExchangeAdd(v, -3); }, 1, -2},
      {"increment", 41, [](volatile LONG* v) { return InterlockedIncrement(v); }, 42, 42},
      {"increment wraps", INT_MAX, [](volatile LONG* v) { return InterlockedIncrement(v); },
       INT_MIN, INT_MIN},
      {"decrement", 1, [](volatile LONG* v) { return InterlockedDecrement(v); }, 0, 0},
      {"decrement wraps", INT_MIN, [](volatile LONG* v) { return InterlockedDecrement(v); },
       INT_MAX, INT_MAX},
      {"exchange", 7, [](volatile LONG* v) { return InterlockedExchange(v, 9); }, 7, 9},
      {"compare-exchange hit", 3,
       [](volatile LONG* v) { return InterlockedCompareExchange(v, 8, 3); }, 3, 8},
      {"compare-exchange miss", 4,
       [](volatile LONG* v) { return InterlockedCompareExchange(v, 8, 3); }, 4, 4},
  };
  for (const Case& c : cases) {
    volatile LONG value = c.start;
    EXPECT_EQ(c.op(&value), c.returned) << c.what;
    EXPECT_EQ(value, c.after) << c.what;
  }
}

TEST(Interlocked, ConcurrentUpdatesAddUp) {
  volatile LONG counter = 0;
  volatile LONG spin = 0;  // a lock built from compare-exchange guards `plain`
  long long plain = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        InterlockedIncrement(&counter);
        InterlockedExchangeAdd(&counter, 2);
        InterlockedDecrement(&counter);
        while (InterlockedCompareExchange(&spin, 1, 0) != 0) std::this_thread::yield();
        ++plain;
        InterlockedExchange(&spin, 0);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000 * 2);
  EXPECT_EQ(plain, 4 * 20000);
}

TEST(Time, TickCountsFollowSleep) {
  ULONGLONG before = GetTickCount64();
  auto start = std::chrono::steady_clock::now();
  Sleep(40);
  auto slept = std::chrono::steady_clock::now() - start;
  ULONGLONG after = GetTickCount64();
  EXPECT_GE(slept, std::chrono::milliseconds(40));
  EXPECT_GE(after - before, 39u);  // millisecond truncation at both ends
  EXPECT_LE(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(after)), 1000u);
  Sleep(0);  // yields and returns
}

// ---- Threads -----------------------------------------------------------------------------

struct ThreadProbe {
  std::atomic<bool> ran{false};
  std::atomic<DWORD> id{0};
  HANDLE release = nullptr;  // waited for before returning, when set
};

DWORD ProbeBody(LPVOID parameter) {
  auto* probe = static_cast<ThreadProbe*>(parameter);
  probe->id = GetCurrentThreadId();
  probe->ran = true;
  if (probe->release) WaitForSingleObject(probe->release, 10000);
  return 42;
}

unsigned ProbeBodyCrt(void* parameter) { return ProbeBody(parameter); }

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
  ThreadProbe probe;
  DWORD id = 0;
  ScopedHandle thread(CreateThread(nullptr, 0, ProbeBody, &probe, CREATE_SUSPENDED, &id));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(probe.ran);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(probe.ran);
  EXPECT_EQ(probe.id, id);
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_EQ(ResumeThread(thread.get()), 0u);
}

TEST(Threads, BeginThreadExStartsSuspendedToo) {
  ThreadProbe probe;
  unsigned id = 0;
  uintptr_t raw = _beginthreadex(nullptr, 0, ProbeBodyCrt, &probe, CREATE_SUSPENDED, &id);
  ASSERT_NE(raw, 0u);
  ScopedHandle thread(reinterpret_cast<HANDLE>(raw));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(probe.ran);
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(probe.id, id);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
}

TEST(Threads, ThreadWhoseHandleIsClosedRunsToItsEnd) {
  struct Work {
    HANDLE started;
    HANDLE release;
    HANDLE done;
  };
  auto body = [](LPVOID p) -> DWORD {
    auto* w = static_cast<Work*>(p);
    SetEvent(w->started);
    WaitForSingleObject(w->release, 10000);
    SetEvent(w->done);
    return 0;
  };
  for (bool suspended : {false, true}) {
    SCOPED_TRACE(suspended ? "closed right after ResumeThread" : "closed while running");
    ScopedHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Work work{started.get(), release.get(), done.get()};
    HANDLE thread =
        CreateThread(nullptr, 0, body, &work, suspended ? CREATE_SUSPENDED : 0, nullptr);
    ASSERT_NE(thread, nullptr);
    if (suspended) {
      EXPECT_EQ(ResumeThread(thread), 1u);
    } else {
      ASSERT_EQ(WaitForSingleObject(started.get(), 10000), WAIT_OBJECT_0);
    }
    ASSERT_TRUE(CloseHandle(thread));
    ASSERT_TRUE(SetEvent(release.get()));
    EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
  }
}

TEST(Threads, NeverResumedThreadEndsWithItsLastHandle) {
  ThreadProbe probe;
  HANDLE thread = CreateThread(nullptr, 0, ProbeBody, &probe, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(probe.ran);
}

TEST(Threads, BadArgumentsFail) {
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  errno = 0;
  EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(errno, EINVAL);

  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), event.get()}) {
    SetLastError(0);
    EXPECT_EQ(ResumeThread(handle), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD code = 12345;
    EXPECT_FALSE(GetExitCodeThread(handle, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, 12345u);  // left alone
  }
}

// ---- Mutexes -----------------------------------------------------------------------------

// Runs `body` on a thread of its own and waits for it.
template <typename Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

TEST(Mutex, UnnamedMutexIsOwnedByOneThreadAndRecursive) {
  ScopedHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);  // owner: count 2
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  });
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_TIMEOUT); });
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  // A waiter blocked on it gets it as soon as it is released.
  ScopedHandle mine(CreateMutexW(nullptr, TRUE, nullptr));
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    result = WaitForSingleObject(mine.get(), 10000);
    if (result == WAIT_OBJECT_0) ReleaseMutex(mine.get());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result, WAIT_FAILED);
  EXPECT_TRUE(ReleaseMutex(mine.get()));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(Mutex, NamedMutexWithinTheProcess) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const char16_t* kName = u"kx-sync-test-mutex";
  SetLastError(0);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, kName), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  SetLastError(1234);
  ScopedHandle owner(CreateMutexW(nullptr, TRUE, kName));
  ASSERT_NE(owner.get(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  std::atomic<DWORD> late{WAIT_FAILED};
  std::thread other([&] {
    ScopedHandle second(CreateMutexW(nullptr, TRUE, kName));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_TIMEOUT);  // not owned by asking
    late = WaitForSingleObject(second.get(), 10000);
    EXPECT_TRUE(ReleaseMutex(second.get()));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(late, WAIT_FAILED);
  ScopedHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, kName));
  EXPECT_NE(opened.get(), nullptr);
  EXPECT_TRUE(ReleaseMutex(opened.get()));  // any handle of the owning thread will do
  other.join();
  EXPECT_EQ(late, WAIT_OBJECT_0);
}

TEST(Mutex, NamesStayInsideTheRunFolder) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::u16string long_chinese(MAX_PATH, u'转');
  const std::u16string long_other = std::u16string(MAX_PATH - 1, u'转') + u'换';
  const std::u16string names[] = {
      u"kxescape..",
      u"..\\..\\kxescape",
      u"../../kxescape",
      u"/tmp/kxescape",
      u"Global\\kxescape",
      u"kxescape\n%00",
      u"kxescapeCase",
      u"kxescapecase",
      u"kxescape" + long_chinese.substr(8),
      u"kxescape" + long_other.substr(8),
  };
  std::vector<ScopedHandle> handles(std::size(names));
  for (size_t i = 0; i < std::size(names); ++i) {
    SetLastError(1234);
    handles[i].reset(CreateMutexW(nullptr, FALSE, names[i].c_str()));
    EXPECT_NE(handles[i].get(), nullptr) << i;
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << i << ": every name is a mutex of its own";
  }
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, (long_chinese + u"x").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);

  namespace fs = std::filesystem;
  const fs::path run = fs::path(machine.root()) / "run" / "mutex";
  const fs::path top = fs::path(machine.root()).parent_path();
  size_t inside = 0;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (entry.path().filename().string().find("kxescape") == std::string::npos) continue;
    EXPECT_EQ(entry.path().parent_path(), run) << entry.path();
    ++inside;
  }
  EXPECT_EQ(inside, 2 * std::size(names));  // a handles file and an owner file each
}

// ---- Named mutexes across processes ------------------------------------------------------

constexpr char kChildVariable[] = "KX_SYNC_TEST_CHILD";

// This test binary started again as a child process ("probe" or "hold" a mutex), with its
// standard output read by the parent.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool Start(const std::string& mode, const std::u16string& name) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      // A shard or output setting of the parent must not reach the child.
      if (strncmp(*e, "GTEST_", 6) == 0 || strncmp(*e, kChildVariable, strlen(kChildVariable)) == 0)
        continue;
      env.push_back(*e);
    }
    env.push_back(std::string(kChildVariable) + "=" + mode + ":" + ToUtf8(name));
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=NamedMutexChild.Run";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // The child's report line ("KXCHILD ..."), read until it comes or the output ends.
  std::string ReadReport() {
    for (;;) {
      size_t at = output_.find("KXCHILD ");
      if (at != std::string::npos) {
        size_t end = output_.find('\n', at);
        if (end != std::string::npos) return output_.substr(at + 8, end - at - 8);
      }
      char buffer[4096];
      ssize_t n = ::read(out_, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return "no report in: " + output_;
      output_.append(buffer, static_cast<size_t>(n));
    }
  }

  void Kill() { ::kill(pid_, SIGKILL); }

  // The exit status, -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

// What a child process sees: "open=<OpenMutexW error> create=<CreateMutexW error> wait=<result>".
std::string Probe(const std::u16string& name) {
  ChildProcess child;
  if (!child.Start("probe", name)) return "spawn failed";
  std::string report = child.ReadReport();
  int status = child.Wait();
  if (status != 0) report += " (exit " + std::to_string(status) + ")";
  return report;
}

TEST(NamedMutexChild, Run) {
  const char* request = ::getenv(kChildVariable);
  if (!request) GTEST_SKIP() << "the child process of NamedMutexAcrossProcesses";
  std::string text(request);
  size_t colon = text.find(':');
  ASSERT_NE(colon, std::string::npos);
  const std::string mode = text.substr(0, colon);
  const std::u16string name = FromUtf8(text.substr(colon + 1));
  if (mode == "probe") {
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    DWORD open_error = opened ? ERROR_SUCCESS : GetLastError();
    if (opened) CloseHandle(opened);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    DWORD create_error = GetLastError();
    ASSERT_NE(mutex, nullptr);
    DWORD wait = WaitForSingleObject(mutex, 0);
    printf("KXCHILD open=%u create=%u wait=%u\n", open_error, create_error, wait);
    fflush(stdout);
    CloseHandle(mutex);
  } else if (mode == "hold") {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    printf("KXCHILD held=%d create=%u\n", mutex != nullptr, GetLastError());
    fflush(stdout);
    for (;;) ::pause();  // until killed
  } else {
    FAIL() << "unknown mode " << mode;
  }
}

TEST(NamedMutexAcrossProcesses, SecondCreatorSeesItExisting) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    std::u16string name;        // as this process names it
    std::u16string child_name;  // as the child names it
  };
  const Case cases[] = {
      {u"7D4E2A61-93C8-4B0F-A5E2-1F60B8C93D47", u"7D4E2A61-93C8-4B0F-A5E2-1F60B8C93D47"},
      {u"kx..\\..\\mutex", u"Local\\kx..\\..\\mutex"},
      {std::u16string(MAX_PATH, u'转'), std::u16string(MAX_PATH, u'转')},  // hashed file name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name).substr(0, 40));
    SetLastError(1234);
    ScopedHandle mutex(CreateMutexW(nullptr, TRUE, c.name.c_str()));
    ASSERT_NE(mutex.get(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(Probe(c.child_name), "open=0 create=183 wait=258");  // exists, owned here
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(Probe(c.child_name), "open=0 create=183 wait=0");  // exists, free
    mutex.reset();
    EXPECT_EQ(Probe(c.child_name), "open=2 create=0 wait=0");  // gone: created afresh
  }
}

TEST(NamedMutexAcrossProcesses, DeadHolderReleasesIt) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::u16string name = u"kx-sync-test-dead-holder";
  ChildProcess holder;
  ASSERT_TRUE(holder.Start("hold", name));
  ASSERT_EQ(holder.ReadReport(), "held=1 create=0");

  ScopedHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 50), WAIT_TIMEOUT);  // the holder owns it

  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder.Kill();
  });
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 10000), WAIT_ABANDONED);
  killer.join();
  EXPECT_EQ(holder.Wait(), -1);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(Probe(name), "open=0 create=183 wait=0");  // released properly: not abandoned
  mutex.reset();
  EXPECT_EQ(Probe(name), "open=2 create=0 wait=0");  // the dead holder's handle went too
}

TEST(NamedMutexAcrossProcesses, ConcurrentCreatorsMakeOneMutex) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::u16string name = u"kx-sync-test-race";
  constexpr int kChildren = 6;
  ChildProcess children[kChildren];
  for (ChildProcess& child : children) ASSERT_TRUE(child.Start("hold", name));
  int created = 0;
  for (ChildProcess& child : children) {
    std::string report = child.ReadReport();
    if (report == "held=1 create=0") {
      ++created;
    } else {
      EXPECT_EQ(report, "held=1 create=183");
    }
  }
  EXPECT_EQ(created, 1);
}

TEST(NamedMutexAcrossProcesses, ChildrenDoNotInheritTheLocks) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::u16string name = u"kx-sync-test-inherit";
  ScopedHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
  ASSERT_EQ(GetLastError(), ERROR_SUCCESS);
  // A child started while this process owns the mutex, and still running afterwards.
  ChildProcess sleeper;
  ASSERT_TRUE(sleeper.Start("hold", u"kx-sync-test-other"));
  ASSERT_EQ(sleeper.ReadReport(), "held=1 create=0");
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  mutex.reset();
  EXPECT_EQ(Probe(name), "open=2 create=0 wait=0");
}

}  // namespace
