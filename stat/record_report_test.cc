#include "stat/record_report.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/registry.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "stat/endpoints.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";
constexpr char kOk[] = R"({"code":0,"msg":"ok"})";
constexpr char kSentToday[] = "统计未发送，由于今日已经有发送";

std::string Utf8(const std::u16string& text) { return win32::ToUtf8(text); }

StatRecord Record(int32_t type) {
  StatRecord record;
  record.product = kProduct;
  record.channel = u"100234";
  record.product_version = u"1.4.1.7061";
  record.install_date = u"2024-05-01";
  record.url = kStatisticsRecordUrl;
  record.type = type;
  return record;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Noon of a local calendar day some days or years before today.
int64_t NoonBefore(int days, int years) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  local.tm_mday -= days;
  local.tm_year -= years;
  local.tm_hour = 12;
  local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

bool ReadStamp(int32_t type, const std::u16string& product, std::u16string* stamp) {
  return RegReadText(win32::HKEY_CURRENT_USER, DayStampKey(type), product, stamp, kRegistryView32);
}

bool WriteStamp(int32_t type, const std::u16string& product, const std::string& sealed) {
  return RegWriteText(win32::HKEY_CURRENT_USER, DayStampKey(type), product, AnsiToWide(sealed),
                      kRegistryView32);
}

// The seconds of a day stamp; -1 when it is missing or does not open.
int64_t StampSeconds(int32_t type) {
  std::u16string stamp;
  if (!ReadStamp(type, kProduct, &stamp)) return -1;
  const std::string plain = Unseal(WideToAnsi(stamp));
  return plain.empty() ? -1 : static_cast<int64_t>(std::stoull(plain));
}

class RecordReportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { served_ = std::make_unique<kxserve::ServedMachine>(); }
  static void TearDownTestSuite() { served_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(served_->ready()) << "kxserve did not start";
    RegDeleteTree(win32::HKEY_CURRENT_USER, u"SOFTWARE\\ovapp\\01");
  }

  // The record reports received since `from`.
  static std::vector<Json::Value> Records(size_t from) {
    std::vector<Json::Value> all = served_->Received();
    std::vector<Json::Value> records;
    for (size_t i = from; i < all.size(); ++i) {
      EXPECT_EQ(all[i]["path"].asString(), "/st/pdf_c_0");
      records.push_back(all[i]["body"]);
    }
    return records;
  }
  static size_t Count() { return served_->Received().size(); }

  static inline std::unique_ptr<kxserve::ServedMachine> served_;
};

TEST_F(RecordReportTest, TypesZeroAndOneAreAlwaysSentWithoutStamps) {
  const size_t before = Count();
  for (int32_t type : {1, 1, 0}) {
    std::u16string message = u"sentinel";
    EXPECT_TRUE(SendRecord(Record(type), &message)) << type;
    EXPECT_EQ(Utf8(message), kOk) << type;
  }
  std::vector<Json::Value> records = Records(before);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["data"]["type"].asInt(), 1);
  EXPECT_EQ(records[0]["data"]["instDate"].asString(), "2024-05-01");
  EXPECT_EQ(records[0]["a004"]["channel"].asString(), "100234");
  EXPECT_EQ(records[2]["data"]["type"].asInt(), 0);
  for (int32_t type : {2, 3}) EXPECT_EQ(StampSeconds(type), -1) << type;
}

TEST_F(RecordReportTest, TypesTwoAndThreeGoOnceADayEach) {
  const size_t before = Count();
  const int64_t start = Now();
  std::u16string message;
  EXPECT_TRUE(SendRecord(Record(2), &message));
  EXPECT_EQ(Utf8(message), kOk);
  const int64_t stamp = StampSeconds(2);
  EXPECT_GE(stamp, start);
  EXPECT_LE(stamp, Now());
  EXPECT_TRUE(SentToday(Record(2), 2));
  EXPECT_FALSE(SentToday(Record(2), 3));

  message = u"sentinel";
  EXPECT_FALSE(SendRecord(Record(2), &message));
  EXPECT_EQ(Utf8(message), kSentToday);
  ASSERT_EQ(Records(before).size(), 1u);

  EXPECT_TRUE(SendRecord(Record(3), &message));
  EXPECT_EQ(Utf8(message), kOk);
  EXPECT_GE(StampSeconds(3), start);
  EXPECT_FALSE(SendRecord(Record(3), &message));
  EXPECT_EQ(Utf8(message), kSentToday);

  // The stamp belongs to the product: another product's record still goes.
  StatRecord other = Record(2);
  other.product = u"OrvaneOCR";
  EXPECT_TRUE(SendRecord(other, &message));
  // A record without a product is never limited and leaves no stamp.
  StatRecord nameless = Record(2);
  nameless.product.clear();
  EXPECT_TRUE(SendRecord(nameless, &message));
  EXPECT_TRUE(SendRecord(nameless, &message));
  EXPECT_FALSE(ReadStamp(2, u"", &message));

  std::vector<Json::Value> records = Records(before);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[1]["data"]["type"].asInt(), 3);
  EXPECT_EQ(records[2]["a004"]["product"].asString(), "OrvaneOCR");
}

TEST_F(RecordReportTest, StampsOfAnotherDayOrThatDoNotOpenLetTheRecordGo) {
  const std::string damaged = [] {
    std::string text = Seal(std::to_string(Now()));
    text[3] = text[3] == 'A' ? 'B' : 'A';
    return text;
  }();
  struct Case {
    const char* what;
    std::string stamp;
  };
  const Case cases[] = {
      {"yesterday", Seal(std::to_string(NoonBefore(1, 0)))},
      {"this day a year ago", Seal(std::to_string(NoonBefore(0, 1)))},
      {"damaged", damaged},
      {"enciphered with other keys", EncryptStatistics(std::to_string(Now()) + "00000000")},
      {"empty", ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteStamp(2, kProduct, c.stamp)) << c.what;
    EXPECT_FALSE(SentToday(Record(2), 2)) << c.what;
    const size_t before = Count();
    const int64_t start = Now();
    std::u16string message;
    EXPECT_TRUE(SendRecord(Record(2), &message)) << c.what;
    EXPECT_EQ(Utf8(message), kOk) << c.what;
    EXPECT_EQ(Records(before).size(), 1u) << c.what;
    EXPECT_GE(StampSeconds(2), start) << c.what;  // rewritten
    EXPECT_TRUE(SentToday(Record(2), 2)) << c.what;
  }
}

TEST_F(RecordReportTest, OtherTypesSendNothing) {
  const size_t before = Count();
  for (int32_t type : {4, 5, -1, 1000}) {
    std::u16string message = u"sentinel";
    EXPECT_FALSE(SendRecord(Record(type), &message)) << type;
    EXPECT_EQ(message, u"sentinel") << type;
    EXPECT_FALSE(SentToday(Record(type), type)) << type;
  }
  EXPECT_EQ(Count(), before);
}

TEST_F(RecordReportTest, AFailedExchangeWritesNoStamp) {
  StatRecord record = Record(2);
  // The machine has no route to this port.
  record.url = u"https://stat.orvane.example:8443/st/pdf_c_0";
  std::u16string message;
  EXPECT_FALSE(SendRecord(record, &message));
  EXPECT_EQ(Utf8(message), "发送请求失败，错误码：1");
  EXPECT_EQ(StampSeconds(2), -1);
  // So the next attempt the same day is made.
  const size_t before = Count();
  EXPECT_TRUE(SendRecord(Record(2), &message));
  EXPECT_EQ(Records(before).size(), 1u);
}

TEST_F(RecordReportTest, TextsWithQuotesAndBackslashesStayValidJson) {
  served_->machine().SetFact("bios_serial", "PF\"2X\\K");
  StatRecord record = Record(1);
  record.channel = u"ch\"1\\";
  const size_t before = Count();
  std::u16string message;
  EXPECT_TRUE(SendRecord(record, &message));
  served_->machine().SetFact("bios_serial", "PF2XK3LM");
  EXPECT_EQ(Utf8(message), kOk);  // the service parsed and checked it
  std::vector<Json::Value> records = Records(before);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["a001"]["biosNo"].asString(), "PF\"2X\\K");
  EXPECT_EQ(records[0]["a004"]["channel"].asString(), "ch\"1\\");
}

}  // namespace
}  // namespace Kx
