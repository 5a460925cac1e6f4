// The removal record of a silent removal: what the statistics service receives, and what
// an unreachable service costs the removal.
#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/install_record.h"
#include "tests/support/run_tool.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"
#include "win32/unicode.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kxtest::Kxmachine;

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";
constexpr char kUninstaller[] =
    "C:\\Program Files (x86)\\OrvaneRUZUrevivaer\\1.4.1.7061\\uninstall.exe";
constexpr char16_t kInstallRoot[] = u"C:\\Program Files (x86)\\OrvaneRUZUrevivaer";

struct Removal {
  std::string install_date;  // as the install record had it
  std::chrono::milliseconds took{0};
  bool removed = false;  // the install record and the install root are gone
};

// Installs the product for a silent removal, runs "uninstall.exe --s" and waits for it and
// the copy it starts.
Removal InstallAndRemove(const kxtest::TestMachine& machine) {
  Removal removal;
  kxtest::ToolResult installed =
      Kxmachine({"install-product", machine.root(), "--no-display-name", "--channel", "100999"});
  EXPECT_EQ(installed.exit_code, 0) << installed.err;
  removal.install_date = win32::ToUtf8(Kx::GetInstallDate(kProduct));
  EXPECT_FALSE(removal.install_date.empty());

  const Clock::time_point start = Clock::now();
  kxtest::ToolResult run =
      Kxmachine({"run", machine.root(), "--wait-tree", "--", kUninstaller, "--s"});
  removal.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(run.exit_code, 1) << run.err;
  std::u16string left;
  removal.removed = !Kx::ReadInstallValue(kProduct, u"installDate", &left) &&
                    !fs::exists(machine.Host(kInstallRoot));
  return removal;
}

TEST(StatisticsEndToEnd, SilentRemovalSendsOneRecord) {
  kxserve::ServedMachine served;
  ASSERT_TRUE(served.ready()) << "kxserve did not start";
  const Removal removal = InstallAndRemove(served.machine());
  EXPECT_TRUE(removal.removed);

  std::vector<Json::Value> received = served.Received();
  ASSERT_EQ(received.size(), 1u);  // silent mode reports no clicks
  EXPECT_EQ(received[0]["path"].asString(), "/st/pdf_c_0");
  ASSERT_TRUE(received[0].isMember("body")) << received[0]["raw"].asString();
  const Json::Value& body = received[0]["body"];
  for (const char* block : {"a001", "a002", "a003", "a004", "data"})
    EXPECT_TRUE(body[block].isObject()) << block;
  EXPECT_EQ(body["data"]["type"].asInt(), 1);
  EXPECT_EQ(body["data"]["instDate"].asString(), removal.install_date);
  EXPECT_EQ(body["a004"]["product"].asString(), "OrvaneRUZUrevivaer");
  EXPECT_EQ(body["a004"]["proVer"].asString(), "1.4.1.7061");
  EXPECT_EQ(body["a004"]["channel"].asString(), "100999");
  EXPECT_EQ(body["a004"]["startId"].asString(), "");
  EXPECT_EQ(body["a004"]["startCh"].asString(), "");
  EXPECT_EQ(body["a001"]["uuid"].asString().size(), 32u);
}

TEST(StatisticsEndToEnd, AnUnreachableServiceCostsTheRemovalAtMostItsTimeOut) {
  std::chrono::milliseconds baseline{0};
  {
    kxserve::ServedMachine served;
    ASSERT_TRUE(served.ready()) << "kxserve did not start";
    const Removal removal = InstallAndRemove(served.machine());
    ASSERT_TRUE(removal.removed);
    baseline = removal.took;
  }
  const std::chrono::milliseconds bound = baseline + std::chrono::seconds(6);
  {
    // No service at all: the route leads to a closed port.
    kxtest::TestMachine machine;
    ASSERT_TRUE(machine.ok());
    Json::Value network(Json::objectValue);
    network["routes"]["stat.orvane.example:443"] = "127.0.0.1:1";
    machine.SetFact("network", network);
    const Removal removal = InstallAndRemove(machine);
    EXPECT_TRUE(removal.removed);
    EXPECT_LE(removal.took.count(), bound.count()) << "baseline " << baseline.count() << " ms";
  }
  {
    // A service that takes the request and never answers: the transport's time-out ends it.
    kxserve::ServedMachine served("hang");
    ASSERT_TRUE(served.ready()) << "kxserve did not start";
    const Removal removal = InstallAndRemove(served.machine());
    EXPECT_TRUE(removal.removed);
    EXPECT_LE(removal.took.count(), bound.count()) << "baseline " << baseline.count() << " ms";
    EXPECT_EQ(served.Received().size(), 1u);
  }
}

}  // namespace
