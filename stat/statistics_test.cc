#include "stat/statistics.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "stat/endpoints.h"
#include "stat/payloads.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"
#include "tools/serve/services.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

constexpr char16_t kBadName[] = u"统计字段名称不能为空或者长度不能大于8";
constexpr char16_t kBadValue[] = u"统计的值不能为空或者长度不能超过1024";

KxStatistics& Stats() { return KxStatistics::Instance(); }

StatConfig ClickConfig() {
  StatConfig config;
  config.product = u"OrvaneRUZUrevivaer";
  config.channel = u"100234";
  config.url = kStatisticsClickUrl;
  config.product_version = u"1.4.1.7061";
  return config;
}

std::string Utf8(const std::u16string& text) { return win32::ToUtf8(text); }

class StatisticsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Stats().Uninit(); }
  void TearDown() override { Stats().Uninit(); }
};

TEST_F(StatisticsStoreTest, NamesAndValuesAreChecked) {
  const std::u16string name8 = u"ZHQ_3711";
  const std::u16string name9 = u"ZHQ_37111";
  const std::u16string value1024(1024, u'v');
  const std::u16string value1025(1025, u'v');
  struct Case {
    const char* what;
    std::function<StatResult()> call;
    bool ok;
    const char16_t* message;
  };
  const Case cases[] = {
      {"AddCount, 8-unit name", [&] { return Stats().AddCount(name8, 1); }, true, u""},
      {"AddCount, 9-unit name", [&] { return Stats().AddCount(name9, 1); }, false, kBadName},
      {"AddCount, empty name", [&] { return Stats().AddCount(u"", 1); }, false, kBadName},
      {"SetCount, 9-unit name", [&] { return Stats().SetCount(name9, 1); }, false, kBadName},
      {"SetString, 1024 units", [&] { return Stats().SetString(name8, value1024); }, true, u""},
      {"SetString, 1025 units", [&] { return Stats().SetString(u"s", value1025); }, false,
       kBadValue},
      {"SetString, empty value", [&] { return Stats().SetString(u"s", u""); }, false, kBadValue},
      {"SetString, the name is checked first", [&] { return Stats().SetString(name9, u""); }, false,
       kBadName},
      {"AddArrayElement, 9-unit name", [&] { return Stats().AddArrayElement(name9, u"x"); }, false,
       kBadName},
      {"AddArrayElement, 1025 units", [&] { return Stats().AddArrayElement(u"a", value1025); },
       false, kBadValue},
      {"AddArrayElement, 1024 units", [&] { return Stats().AddArrayElement(u"a", value1024); },
       true, u""},
  };
  for (const Case& c : cases) {
    StatResult result = c.call();
    EXPECT_EQ(result.ok, c.ok) << c.what;
    EXPECT_EQ(Utf8(result.message), Utf8(c.message)) << c.what;
  }
  // Only the accepted calls left anything.
  EXPECT_EQ(Stats().CounterBlock(), u"\"b002\":{\"ZHQ_3711\":1}");
  EXPECT_EQ(Stats().StringFieldBlock(), u"\"b001\":{\"ZHQ_3711\":\"" + value1024 + u"\"}");
  EXPECT_EQ(Stats().ArrayBlock(), u"\"b003\":{\"a\":[\"" + value1024 + u"\"]}");
}

TEST_F(StatisticsStoreTest, FieldStoresTakeAtMost257Keys) {
  using Setter = std::function<StatResult(const std::u16string&)>;
  const std::pair<const char*, Setter> stores[] = {
      {"counters", [](const std::u16string& n) { return Stats().AddCount(n, 1); }},
      {"set counters", [](const std::u16string& n) { return Stats().SetCount(n, 5); }},
      {"string fields", [](const std::u16string& n) { return Stats().SetString(n, u"v"); }},
  };
  for (const auto& [what, set] : stores) {
    Stats().Uninit();
    for (int i = 0; i < 257; ++i)
      ASSERT_TRUE(set(u"k" + IntToString(i)).ok) << what << " key " << i;
    StatResult refused = set(u"k257");
    EXPECT_FALSE(refused.ok) << what;
    EXPECT_EQ(Utf8(refused.message), "统计字段数超过256") << what;
    // Existing keys still take updates.
    EXPECT_TRUE(set(u"k0").ok) << what;
  }
  Stats().Uninit();
  for (int i = 0; i < 257; ++i) ASSERT_TRUE(Stats().AddCount(u"k" + IntToString(i), 1).ok);
  EXPECT_TRUE(Stats().AddCount(u"k256", 4).ok);
  EXPECT_TRUE(Stats().SetCount(u"k0", 9).ok);
  const std::u16string block = Stats().CounterBlock();
  EXPECT_NE(block.find(u"\"k256\":5"), std::u16string::npos);
  EXPECT_NE(block.find(u"{\"k0\":9,"), std::u16string::npos);
  EXPECT_EQ(block.find(u"k257"), std::u16string::npos);
}

TEST_F(StatisticsStoreTest, ArraysTakeAtMost129KeysOf65DistinctElements) {
  for (int i = 0; i < 129; ++i)
    ASSERT_TRUE(Stats().AddArrayElement(u"a" + IntToString(i), u"x").ok) << i;
  StatResult refused = Stats().AddArrayElement(u"a129", u"x");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(Utf8(refused.message), "统计字段数超过128");

  Stats().Uninit();
  EXPECT_TRUE(Stats().AddArrayElement(u"arr", u"same").ok);
  EXPECT_TRUE(Stats().AddArrayElement(u"arr", u"same").ok);
  EXPECT_EQ(Stats().ArrayBlock(), u"\"b003\":{\"arr\":[\"same\"]}");
  for (int i = 1; i < 65; ++i) ASSERT_TRUE(Stats().AddArrayElement(u"arr", IntToString(i)).ok);
  StatResult full = Stats().AddArrayElement(u"arr", u"65");
  EXPECT_FALSE(full.ok);
  EXPECT_EQ(Utf8(full.message), "统计的数组元素个数超过64");
  // An element already there is still accepted, and changes nothing.
  EXPECT_TRUE(Stats().AddArrayElement(u"arr", u"same").ok);
  const std::u16string block = Stats().ArrayBlock();
  EXPECT_EQ(block.find(u"\"65\""), std::u16string::npos);
  EXPECT_NE(block.find(u"[\"same\",\"1\",\"2\","), std::u16string::npos);
  EXPECT_NE(block.find(u",\"64\"]}"), std::u16string::npos);
}

TEST_F(StatisticsStoreTest, BlocksListKeysInUnitOrder) {
  EXPECT_EQ(BuildCustomBlock(), u"\"b000\":{\"b001\":{},\"b002\":{},\"b003\":{}}");
  // U+FF01 sorts after the surrogate pair of U+1F600 by UTF-16 units.
  for (const char16_t* name : {u"\uFF01", u"a", u"\U0001F600", u"Z"})
    ASSERT_TRUE(Stats().SetString(name, u"v").ok);
  ASSERT_TRUE(Stats().AddCount(u"n", 1).ok);
  ASSERT_TRUE(Stats().AddCount(u"n", 1).ok);
  ASSERT_TRUE(Stats().SetCount(u"m", -3).ok);
  ASSERT_TRUE(Stats().AddArrayElement(u"l", u"2").ok);
  ASSERT_TRUE(Stats().AddArrayElement(u"l", u"1").ok);
  ASSERT_TRUE(Stats().AddArrayElement(u"k", u"x").ok);
  EXPECT_EQ(Utf8(BuildCustomBlock()),
            "\"b000\":{\"b001\":{\"Z\":\"v\",\"a\":\"v\",\"\U0001F600\":\"v\",\"\uFF01\":\"v\"},"
            "\"b002\":{\"m\":-3,\"n\":2},\"b003\":{\"k\":[\"x\"],\"l\":[\"2\",\"1\"]}}");
}

TEST_F(StatisticsStoreTest, InitChecksAndCompletesTheConfiguration) {
  ASSERT_TRUE(Stats().SetString(u"kept", u"v").ok);
  StatConfig config = ClickConfig();
  config.channel.clear();
  config.start_id = u"id";
  config.start_channel = u"sc";
  StatResult result = Stats().Init(config);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.message, u"");
  EXPECT_EQ(Stats().config().channel, u"666666");
  EXPECT_EQ(Stats().config().start_id, u"id");
  EXPECT_EQ(Stats().config().start_channel, u"sc");
  EXPECT_EQ(Stats().StringFieldBlock(), u"\"b001\":{\"kept\":\"v\"}");  // fields stay

  for (std::u16string StatConfig::*field :
       {&StatConfig::product, &StatConfig::url, &StatConfig::product_version}) {
    StatConfig bad = ClickConfig();
    bad.channel = u"other";
    bad.*field = u"";
    StatResult refused = Stats().Init(bad);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(Utf8(refused.message), "参数校验失败");
    EXPECT_EQ(Stats().config().channel, u"666666");  // unchanged
  }
  EXPECT_TRUE(Stats().Uninit().ok);
  EXPECT_EQ(Stats().config().product, u"");
  EXPECT_EQ(Stats().config().url, u"");
  EXPECT_EQ(Stats().StringFieldBlock(), u"\"b001\":{}");
}

// Sends against the maker's services on loopback, one server for the suite.
class StatisticsSendTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { served_ = std::make_unique<kxserve::ServedMachine>(); }
  static void TearDownTestSuite() { served_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(served_->ready()) << "kxserve did not start";
    Stats().Uninit();
  }
  void TearDown() override { Stats().Uninit(); }

  static size_t ReceivedCount() { return served_->Received().size(); }

  static inline std::unique_ptr<kxserve::ServedMachine> served_;
};

TEST_F(StatisticsSendTest, NothingStoredSendsNothing) {
  ASSERT_TRUE(Stats().Init(ClickConfig()).ok);
  const std::string log_before = kxtest::ReadHostFile(served_->log_path());
  StatResult result = Stats().Send();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(Utf8(result.message), "无数据发送");
  EXPECT_EQ(kxtest::ReadHostFile(served_->log_path()), log_before);
}

TEST_F(StatisticsSendTest, SendsEverythingOnceAndEmptiesTheStores) {
  StatConfig config = ClickConfig();
  config.channel.clear();
  ASSERT_TRUE(Stats().Init(config).ok);
  ASSERT_TRUE(Stats().AddCount(u"ZHQ_371", 1).ok);
  ASSERT_TRUE(Stats().AddCount(u"ZHQ_371", 1).ok);
  ASSERT_TRUE(Stats().SetString(u"page", u"survey").ok);
  ASSERT_TRUE(Stats().AddArrayElement(u"steps", u"one").ok);
  const size_t before = ReceivedCount();

  StatResult result = Stats().Send();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(Utf8(result.message), R"({"code":0,"msg":"ok"})");
  std::vector<Json::Value> received = served_->Received();
  ASSERT_EQ(received.size(), before + 1);
  const Json::Value& entry = received.back();
  EXPECT_EQ(entry["path"].asString(), "/st/pdf_c_click");
  const Json::Value& body = entry["body"];
  EXPECT_EQ(body["b000"]["b002"]["ZHQ_371"].asInt(), 2);
  EXPECT_EQ(body["b000"]["b001"]["page"].asString(), "survey");
  EXPECT_EQ(body["b000"]["b003"]["steps"][0].asString(), "one");
  EXPECT_EQ(body["a004"]["channel"].asString(), "666666");
  EXPECT_EQ(body["a004"]["product"].asString(), "OrvaneRUZUrevivaer");
  EXPECT_EQ(body["a004"]["proVer"].asString(), "1.4.1.7061");

  StatResult again = Stats().Send();
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(Utf8(again.message), "无数据发送");
  EXPECT_EQ(ReceivedCount(), before + 1);
}

TEST_F(StatisticsSendTest, AFailedExchangeKeepsTheStores) {
  // Unconfigured: the empty URL fails at the transport.
  ASSERT_TRUE(Stats().AddCount(u"TC_06", 1).ok);
  const size_t before = ReceivedCount();
  StatResult failed = Stats().Send();
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(Utf8(failed.message), "发送请求失败，错误码：1");
  EXPECT_EQ(Stats().CounterBlock(), u"\"b002\":{\"TC_06\":1}");
  EXPECT_EQ(ReceivedCount(), before);

  ASSERT_TRUE(Stats().Init(ClickConfig()).ok);
  EXPECT_TRUE(Stats().Send().ok);
  std::vector<Json::Value> received = served_->Received();
  ASSERT_EQ(received.size(), before + 1);
  EXPECT_EQ(received.back()["body"]["b000"]["b002"]["TC_06"].asInt(), 1);
}

TEST_F(StatisticsSendTest, AReplyThatDoesNotOpenIsAFailureButEmptiesTheStores) {
  // HTTP 500 is still an exchange; its body is no envelope.
  ASSERT_TRUE(served_->Restart("error500"));
  ASSERT_TRUE(Stats().Init(ClickConfig()).ok);
  ASSERT_TRUE(Stats().AddCount(u"TC_05", 1).ok);
  StatResult result = Stats().Send();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(Utf8(result.message), kxserve::kError500Body);
  EXPECT_EQ(Stats().CounterBlock(), u"\"b002\":{}");
  ASSERT_TRUE(served_->Restart("none"));
}

}  // namespace
}  // namespace Kx
