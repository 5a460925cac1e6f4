#include "stat/click_reporter.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/install_record.h"
#include "base/registry.h"
#include "stat/statistics.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"

namespace Kx {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";

KxClickReporter& Reporter() { return KxClickReporter::Instance(); }

class ClickReporterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { served_ = std::make_unique<kxserve::ServedMachine>(); }
  static void TearDownTestSuite() { served_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(served_->ready()) << "kxserve did not start";
    ASSERT_TRUE(WriteInstallValue(kProduct, u"ch", u"100234"));
    ASSERT_TRUE(WriteInstallValue(kProduct, u"ver", u"1.4.1.7061"));
  }
  void TearDown() override { Reporter().Stop(); }

  // The click requests received since `from`.
  static std::vector<Json::Value> Clicks(size_t from) {
    std::vector<Json::Value> all = served_->Received();
    std::vector<Json::Value> clicks;
    for (size_t i = from; i < all.size(); ++i) {
      EXPECT_EQ(all[i]["path"].asString(), "/st/pdf_c_click");
      clicks.push_back(all[i]["body"]);
    }
    return clicks;
  }
  static size_t Count() { return served_->Received().size(); }

  static inline std::unique_ptr<kxserve::ServedMachine> served_;
};

TEST_F(ClickReporterTest, AReportJustBeforeExitLeavesWithTheFinalFlush) {
  Reporter().Init("sc", "si", KxClickReporter::kDefaultWaitMs);
  const size_t before = Count();
  std::this_thread::sleep_for(milliseconds(300));  // the worker's first pass is over
  Reporter().Report(u"ZHQ_372", 1);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(Count(), before);  // queued, not sent

  const Clock::time_point start = Clock::now();
  Reporter().Wake();
  Reporter().Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  std::vector<Json::Value> clicks = Clicks(before);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_EQ(clicks[0]["b000"]["b002"]["ZHQ_372"].asInt(), 1);
  EXPECT_EQ(clicks[0]["b000"]["b002"].size(), 1u);
  EXPECT_EQ(clicks[0]["a004"]["product"].asString(), "OrvaneRUZUrevivaer");
  EXPECT_EQ(clicks[0]["a004"]["channel"].asString(), "100234");
  EXPECT_EQ(clicks[0]["a004"]["proVer"].asString(), "1.4.1.7061");
  EXPECT_EQ(clicks[0]["a004"]["startCh"].asString(), "sc");
  EXPECT_EQ(clicks[0]["a004"]["startId"].asString(), "si");
  // Stop leaves the statistics empty and unconfigured.
  EXPECT_EQ(KxStatistics::Instance().config().url, u"");
  EXPECT_EQ(KxStatistics::Instance().CounterBlock(), u"\"b002\":{}");
}

TEST_F(ClickReporterTest, PendingCountsGoEveryWaitPeriod) {
  Reporter().Init("", "", 200);
  std::this_thread::sleep_for(milliseconds(300));
  const size_t before = Count();
  Reporter().Report(u"TC_06", 1);
  Reporter().Report(u"TC_06", 1);
  // Both counts leave without a wake, in one request (or two, had a period ended between
  // the reports).
  auto sent = [before] {
    int total = 0;
    for (const Json::Value& click : Clicks(before)) total += click["b000"]["b002"]["TC_06"].asInt();
    return total;
  };
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
  while (sent() < 2 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(sent(), 2);
  const size_t requests = Count();
  EXPECT_LE(requests - before, 2u);
  ASSERT_FALSE(Clicks(before).empty());
  EXPECT_EQ(Clicks(before)[0]["a004"]["startCh"].asString(), "");
  // Nothing is pending any more: the final flush sends nothing.
  Reporter().Wake();
  Reporter().Stop();
  EXPECT_EQ(Count(), requests);
}

TEST_F(ClickReporterTest, WithoutAnInstalledVersionNothingIsSent) {
  ASSERT_TRUE(RegDeleteTree(win32::HKEY_CURRENT_USER, u"SoftWare\\ovapp\\OrvaneRUZUrevivaer"));
  Reporter().Init("", "", KxClickReporter::kDefaultWaitMs);
  const size_t before = Count();
  Reporter().Report(u"ZHQ_374", 1);
  Reporter().Wake();
  Reporter().Stop();
  EXPECT_EQ(Count(), before);
}

TEST_F(ClickReporterTest, AFlushThatTimesOutStillLetsStopReturn) {
  ASSERT_TRUE(served_->Restart("hang"));
  Reporter().Init("", "", KxClickReporter::kDefaultWaitMs);
  std::this_thread::sleep_for(milliseconds(300));
  const size_t before = Count();
  Reporter().Report(u"ZHQ_371", 1);
  const Clock::time_point start = Clock::now();
  Reporter().Wake();
  Reporter().Stop();
  const auto took = Clock::now() - start;
  // One attempt, ended by the transport's 3-second time-out.
  EXPECT_GE(took, milliseconds(2900));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(Clicks(before).size(), 1u);
  EXPECT_EQ(KxStatistics::Instance().CounterBlock(), u"\"b002\":{}");
  ASSERT_TRUE(served_->Restart("none"));
}

}  // namespace
}  // namespace Kx
