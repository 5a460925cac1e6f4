#include "stat/click_reporter.h"

#include "base/install_record.h"
#include "base/strings.h"
#include "stat/endpoints.h"

namespace Kx {
namespace {

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";

}  // namespace

KxClickReporter& KxClickReporter::Instance() {
  static KxClickReporter instance;
  return instance;
}

KxClickReporter::KxClickReporter() { event_.Create(std::u16string(), false, true); }

KxClickReporter::~KxClickReporter() {
  // A reporter that was never stopped still ends its worker before it goes.
  KxAutoLock guard(worker_lock_);
  if (worker_.joinable()) {
    running_ = false;
    event_.Set();
    worker_.join();
  }
}

void KxClickReporter::Init(std::string_view start_channel, std::string_view start_id,
                           win32::DWORD wait_ms) {
  wait_ms_ = wait_ms;
  StatConfig config;
  config.product = kProduct;
  config.channel = GetInstallChannel(kProduct);
  config.start_id = AnsiToWide(start_id);
  config.start_channel = AnsiToWide(start_channel);
  config.url = kStatisticsClickUrl;
  config.product_version = GetInstallVersion(kProduct);
  KxStatistics::Instance().Init(config);

  KxAutoLock guard(worker_lock_);
  config_ = config;
  if (worker_.joinable()) return;
  // After a Stop the worker starts as after construction: running, its first wait at once.
  running_ = true;
  event_.Set();
  worker_ = std::thread(&KxClickReporter::Run, this);
}

void KxClickReporter::Report(const std::u16string& event_code, int32_t count) {
  pending_ = true;
  KxStatistics::Instance().AddCount(event_code, count);
}

void KxClickReporter::Wake() {
  wake_ = true;
  event_.Set();
}

void KxClickReporter::Stop() {
  {
    KxAutoLock guard(worker_lock_);
    running_ = false;
    event_.Set();
    if (worker_.joinable()) worker_.join();
  }
  KxStatistics::Instance().Uninit();
}

void KxClickReporter::Run() {
  KxStatistics& statistics = KxStatistics::Instance();
  while (running_) {
    event_.Wait(wait_ms_);
    if (wake_.exchange(false) && pending_) statistics.Send();
    if (!running_) break;
    if (pending_) statistics.Send();
    pending_ = false;
  }
}

}  // namespace Kx
