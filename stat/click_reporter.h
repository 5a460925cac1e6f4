// KxClickReporter: counts what the user does and sends the counts to the click endpoint
// from its own worker thread, every wait period and once more when woken at exit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "base/sync.h"
#include "stat/statistics.h"
#include "win32/types.h"

namespace Kx {

class KxClickReporter : public KxNonCopyable {
 public:
  static constexpr win32::DWORD kDefaultWaitMs = 900000;

  // Created on first use, thread-safely; destroyed when the process ends.
  static KxClickReporter& Instance();

  // Configures KxStatistics for the click endpoint from the install record (its result is
  // not looked at) and starts the worker. The two texts are in the ANSI code page. A call
  // while the worker runs only changes the configuration; one after Stop starts it again.
  void Init(std::string_view start_channel, std::string_view start_id, win32::DWORD wait_ms);
  // Queues `count` more of the event for the next send.
  void Report(const std::u16string& event_code, int32_t count);
  // Makes the worker send what is pending now.
  void Wake();
  // Ends the worker (waiting for a send in flight), then empties and unconfigures
  // KxStatistics.
  void Stop();

 private:
  KxClickReporter();
  ~KxClickReporter();

  void Run();

  std::atomic<win32::DWORD> wait_ms_{kDefaultWaitMs};
  std::atomic<bool> running_{true};
  std::atomic<bool> wake_{false};
  std::atomic<bool> pending_{false};
  KxEvent event_;  // auto-reset, created signalled
  StatConfig config_;
  KxCriticalSection worker_lock_;  // guards worker_ between Init, Stop and the destructor
  std::thread worker_;
};

}  // namespace Kx
