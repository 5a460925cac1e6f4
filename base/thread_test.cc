#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/sync.h"
#include "win32/errors.h"

namespace Kx {
namespace {

constexpr win32::DWORD kLongWait = 10000;

// A thread object that reports its destruction.
class TrackedThread : public KxThread {
 public:
  TrackedThread(Function function, void* argument, std::promise<void>* destroyed)
      : KxThread(function, argument), destroyed_(destroyed) {}
  ~TrackedThread() override { destroyed_->set_value(); }

 private:
  std::promise<void>* destroyed_;
};

// Records each end of a run, and whether the thread was already idle then.
class ExitRecorder : public IKxThreadExitListener {
 public:
  ExitRecorder() { ended_.Create(std::u16string(), false, false); }
  void OnThreadExit(KxThread* thread) override {
    idle_at_exit_ = !thread->IsRunning();
    ended_.Set();
  }
  bool WaitEnd() { return ended_.Wait(kLongWait); }
  bool idle_at_exit() const { return idle_at_exit_; }

 private:
  KxEvent ended_;
  std::atomic<bool> idle_at_exit_{false};
};

// What a body sees: it records its tag, says it entered, and waits for the gate.
struct BodyRun {
  int tag = 0;
  bool throw_instead = false;
  KxEvent* entered = nullptr;
  KxEvent* gate = nullptr;
  std::atomic<int>* seen_tag = nullptr;
  std::atomic<int>* completed = nullptr;
};

void GatedBody(void* argument) {
  BodyRun* run = static_cast<BodyRun*>(argument);
  if (run->seen_tag) *run->seen_tag = run->tag;
  if (run->entered) run->entered->Set();
  if (run->gate) run->gate->Wait(kLongWait);
  if (run->throw_instead) throw std::runtime_error("body failed");
  if (run->completed) ++*run->completed;
}

TEST(KxRefCounted, CountsAndDeletesAtZero) {
  std::promise<void> destroyed;
  auto* thread = new TrackedThread(GatedBody, nullptr, &destroyed);
  EXPECT_EQ(thread->AddRef(), 1);
  EXPECT_EQ(thread->AddRef(), 2);
  EXPECT_EQ(thread->Release(), 1);
  auto gone = destroyed.get_future();
  EXPECT_EQ(gone.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(thread->Release(), 0);
  EXPECT_EQ(gone.wait_for(std::chrono::seconds(0)), std::future_status::ready);
}

TEST(KxThread, StartThenReleaseAtOnceRunsTheBodyThenDestroysTheObject) {
  KxEvent gate;
  gate.Create(std::u16string(), true, false);
  std::atomic<int> completed{0};
  BodyRun run;
  run.gate = &gate;
  run.completed = &completed;
  std::promise<void> destroyed;
  std::future<void> gone = destroyed.get_future();
  auto* thread = new TrackedThread(GatedBody, &run, &destroyed);
  thread->AddRef();
  ASSERT_TRUE(thread->Start());
  EXPECT_EQ(thread->Release(), 1);  // the running thread's own reference is left
  EXPECT_EQ(gone.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  gate.Set();
  ASSERT_EQ(gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(completed, 1);  // the body had finished before the object went
}

TEST(KxThread, NullFunctionDoesNotStart) {
  std::promise<void> destroyed;
  auto* thread = new TrackedThread(nullptr, nullptr, &destroyed);
  EXPECT_EQ(thread->AddRef(), 1);
  EXPECT_FALSE(thread->Start());
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_EQ(thread->AddRef(), 2);  // the failed start gave back the reference it took
  EXPECT_EQ(thread->Release(), 1);
  EXPECT_EQ(thread->Release(), 0);
  EXPECT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(0)), std::future_status::ready);
}

TEST(KxThread, ArgumentIsFixedWhileRunningAndIsRunningFollowsTheBody) {
  KxEvent entered;
  ASSERT_TRUE(entered.Create(std::u16string(), false, false));
  KxEvent gate;
  ASSERT_TRUE(gate.Create(std::u16string(), true, false));
  std::atomic<int> seen_tag{0};
  BodyRun first{1, false, &entered, &gate, &seen_tag, nullptr};
  BodyRun second{2, false, &entered, &gate, &seen_tag, nullptr};
  ExitRecorder exits;
  std::promise<void> destroyed;
  std::future<void> gone = destroyed.get_future();
  {
    KxRefPtr<KxThread> thread(new TrackedThread(GatedBody, &first, &destroyed));
    ASSERT_TRUE(thread->SetExitListener(&exits));
    EXPECT_FALSE(thread->IsRunning());

    ASSERT_TRUE(thread->Start());
    EXPECT_TRUE(thread->IsRunning());
    ASSERT_TRUE(entered.Wait(kLongWait));
    EXPECT_TRUE(thread->IsRunning());
    EXPECT_FALSE(thread->SetArgument(&second));
    EXPECT_FALSE(thread->Start());  // one run at a time
    gate.Set();
    ASSERT_TRUE(exits.WaitEnd());
    EXPECT_TRUE(exits.idle_at_exit());
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_EQ(seen_tag, 1);  // the body kept the argument it started with

    ASSERT_TRUE(thread->SetArgument(&second));
    ASSERT_TRUE(thread->Start());  // a finished thread starts again
    ASSERT_TRUE(exits.WaitEnd());
    EXPECT_EQ(seen_tag, 2);
  }
  ASSERT_EQ(gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(KxThread, ThrowingBodyEndsTheRunAndAllowsARestart) {
  std::atomic<int> completed{0};
  BodyRun failing;
  failing.throw_instead = true;
  BodyRun working;
  working.completed = &completed;
  ExitRecorder exits;
  std::promise<void> destroyed;
  std::future<void> gone = destroyed.get_future();
  {
    KxRefPtr<KxThread> thread(new TrackedThread(GatedBody, &failing, &destroyed));
    thread->SetExitListener(&exits);
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(exits.WaitEnd());
    EXPECT_TRUE(exits.idle_at_exit());
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_EQ(completed, 0);

    ASSERT_TRUE(thread->SetArgument(&working));
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(exits.WaitEnd());
    EXPECT_EQ(completed, 1);
  }
  ASSERT_EQ(gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(KxThread, ManyFireAndForgetThreadsAllFinishAndGo) {
  constexpr int kThreads = 32;
  std::atomic<int> completed{0};
  BodyRun run;
  run.completed = &completed;
  std::vector<std::promise<void>> destroyed(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    KxRefPtr<KxThread> thread(new TrackedThread(GatedBody, &run, &destroyed[i]));
    ASSERT_TRUE(thread->Start());
  }  // each creator reference goes at once, racing with its body
  for (auto& d : destroyed)
    ASSERT_EQ(d.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(completed, kThreads);
}

TEST(KxEvent, CreateSetWaitAndClose) {
  KxEvent never;
  bool timed_out = false;
  EXPECT_FALSE(never.Wait(0, &timed_out));  // no handle: nothing happens
  EXPECT_FALSE(timed_out);
  never.Set();
  never.Reset();

  KxEvent automatic;
  ASSERT_TRUE(automatic.Create(std::u16string(), false, true));
  EXPECT_FALSE(automatic.Create(std::u16string(), true, false));  // one handle only
  EXPECT_TRUE(automatic.Wait(0, &timed_out));
  EXPECT_FALSE(automatic.Wait(20, &timed_out));
  EXPECT_TRUE(timed_out);

  KxEvent manual;
  ASSERT_TRUE(manual.Create(std::u16string(), true, false));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  KxEvent named;
  ASSERT_TRUE(named.Create(u"kx-thread-test-event", true, false));
  EXPECT_FALSE(named.already_existed());
  KxEvent same;
  ASSERT_TRUE(same.Create(u"kx-thread-test-event", false, false));
  EXPECT_TRUE(same.already_existed());
  EXPECT_EQ(same.name(), u"kx-thread-test-event");
  named.Set();
  EXPECT_TRUE(same.Wait(0));
  same.Close();
  EXPECT_EQ(same.handle(), nullptr);
  EXPECT_TRUE(same.name().empty());
  EXPECT_FALSE(same.Wait(0));
}

TEST(KxCriticalSection, AutoLockHoldsUntilReleasedOrScopeEnds) {
  KxCriticalSection section;
  auto other_thread_locks = [&] {
    bool locked = false;
    std::thread([&] {
      locked = section.TryLock();
      if (locked) section.Unlock();
    }).join();
    return locked;
  };
  {
    KxAutoLock lock(&section);
    EXPECT_TRUE(section.TryLock());  // recursive for the holder
    section.Unlock();
    EXPECT_FALSE(other_thread_locks());
    lock.Release();
    EXPECT_TRUE(other_thread_locks());
    lock.Release();  // a second release does nothing
  }
  {
    KxAutoLock lock(section);
    EXPECT_FALSE(other_thread_locks());
  }
  EXPECT_TRUE(other_thread_locks());
  KxAutoLock none(nullptr);  // a null section is allowed and does nothing
}

TEST(KxCriticalSection, GuardsSharedDataAcrossThreads) {
  KxCriticalSection section;
  long long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        KxAutoLock lock(section);
        ++total;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(total, 40000);
}

}  // namespace
}  // namespace Kx
