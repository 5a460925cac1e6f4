#include "stat/payloads.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <memory>
#include <string>

#include "base/install_record.h"
#include "base/strings.h"
#include "stat/fingerprint.h"
#include "stat/identity.h"
#include "tests/support/test_machine.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";

std::string Utf8(const std::u16string& text) { return win32::ToUtf8(text); }

bool ParseStrict(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), value, &errors);
}

StatRecord Record() {
  StatRecord record;
  record.product = kProduct;
  record.channel = u"100234";
  record.product_version = u"1.4.1.7061";
  record.install_date = u"2024-05-01";
  record.type = 1;
  return record;
}

bool InstallEntry(const char16_t* name, win32::REGSAM view) {
  const std::u16string path =
      std::u16string(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + name;
  win32::HKEY key = nullptr;
  if (win32::RegCreateKeyExW(win32::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                             win32::KEY_ALL_ACCESS | view, nullptr, &key,
                             nullptr) != win32::ERROR_SUCCESS)
    return false;
  win32::RegCloseKey(key);
  return true;
}

class PayloadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    machine_.SetFact("bios_serial", "PF2XK3LM");
    machine_.SetFact("processors", 12);
    ResetMachineUuidCacheForTesting();
    ASSERT_TRUE(WriteInstallValue(kProduct, u"pid", u"7061001"));
    ASSERT_TRUE(WriteInstallValue(kProduct, u"pch", u"200100"));
  }
  void TearDown() override { ResetMachineUuidCacheForTesting(); }

  kxtest::TestMachine machine_;
};

TEST(JsonEscape, EscapesQuotesBackslashesAndControls) {
  struct Case {
    std::u16string in;
    std::u16string out;
  };
  const Case cases[] = {
      {u"", u""},
      {u"plain 文本 \U0001F600 /", u"plain 文本 \U0001F600 /"},
      {u"a\"b", u"a\\\"b"},
      {u"C:\\x\\", u"C:\\\\x\\\\"},
      {u"\b\f\n\r\t", u"\\b\\f\\n\\r\\t"},
      {std::u16string(u"\x00\x01\x1f\x20\x7f", 5), u"\\u0000\\u0001\\u001f \x7f"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonEscape(c.in), c.out) << Utf8(c.in);
}

TEST_F(PayloadsTest, MachineBlocksHaveTheirFixedLayout) {
  const std::u16string blocks = BuildMachineBlocks(Record());
  const std::string want =
      "\"a001\":{\"uuid\":\"" + Utf8(GetInstallUuid()) + "\",\"uuid1\":\"" +
      Utf8(ComputeMachineUuid()) + "\",\"mac\":\"" + Utf8(GetAdapterAddressText()) +
      "\",\"cpuNo\":\"" + Utf8(GetProcessorIdText()) +
      "\",\"biosNo\":\"PF2XK3LM\",\"cpuNum\":12,\"memSize\":" +
      std::to_string(GetTotalMemory() >> 30) + "}," + "\"a002\":{\"osVer\":\"" + Utf8(GetOsName()) +
      "\",\"osVerNo\":\"" + Utf8(GetOsVersionText()) + "\",\"bit\":" + std::to_string(Is64BitOs()) +
      ",\"vm\":" + std::to_string(IsVirtualMachine()) + ",\"ieVer\":\"\"}," +
      "\"a003\":{\"aapp\":[],\"ssvc\":[]}," +
      "\"a004\":{\"product\":\"OrvaneRUZUrevivaer\",\"proVer\":\"1.4.1.7061\",\"channel\":"
      "\"100234\",\"instId\":\"7061001\" ,\"instCh\":\"200100\",\"startId\":\"\",\"startCh\":\"\"}";
  EXPECT_EQ(Utf8(blocks), want);
}

TEST_F(PayloadsTest, MemoryIsCountedInWholeGibibytes) {
  const std::pair<uint64_t, const char16_t*> cases[] = {
      {17179869184ull, u"\"memSize\":16}"},
      {17179869183ull, u"\"memSize\":15}"},
      {1073741823ull, u"\"memSize\":0}"},
  };
  for (const auto& [bytes, want] : cases) {
    machine_.SetFact("memory_bytes", Json::UInt64(bytes));
    EXPECT_NE(BuildMachineBlocks(Record()).find(want), std::u16string::npos) << bytes;
  }
}

TEST_F(PayloadsTest, KnownApplicationsListedInKeyOrder) {
  ASSERT_TRUE(InstallEntry(u"WeChat", win32::KEY_WOW64_32KEY));        // key 9
  ASSERT_TRUE(InstallEntry(u"Foxit Reader", win32::KEY_WOW64_64KEY));  // key 2
  EXPECT_NE(BuildMachineBlocks(Record()).find(u",\"a003\":{\"aapp\":[2,9],\"ssvc\":[]},"),
            std::u16string::npos);
  ASSERT_TRUE(InstallEntry(u"Kingsoft PDF", win32::KEY_WOW64_32KEY));  // key 10
  ASSERT_TRUE(InstallEntry(u"Foxit Reader", win32::KEY_WOW64_32KEY));  // in both views
  EXPECT_NE(BuildMachineBlocks(Record()).find(u"\"aapp\":[2,9,10]"), std::u16string::npos);
}

TEST_F(PayloadsTest, RecordBodyEndsWithTheDataBlock) {
  StatRecord record = Record();
  record.type = 3;
  const std::u16string body = BuildRecordBody(record);
  EXPECT_EQ(body.rfind(u"{\"a001\":{", 0), 0u);
  const std::u16string tail = u",\"data\":{\"type\":3,\"instDate\":\"2024-05-01\"}}";
  ASSERT_GT(body.size(), tail.size());
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
  Json::Value parsed;
  EXPECT_TRUE(ParseStrict(Utf8(body), &parsed));
}

TEST_F(PayloadsTest, InsertedTextsAreEscaped) {
  machine_.SetFact("bios_serial", "PF\"2X\\K");
  ASSERT_TRUE(WriteInstallValue(kProduct, u"pch", u"tab\there"));
  StatRecord record = Record();
  record.channel = u"c\"h";
  record.start_id = u"line\nbreak";
  record.install_date = u"2024\\05\\01";
  Json::Value body;
  ASSERT_TRUE(ParseStrict(Utf8(BuildRecordBody(record)), &body));
  EXPECT_EQ(body["a001"]["biosNo"].asString(), "PF\"2X\\K");
  EXPECT_EQ(body["a004"]["channel"].asString(), "c\"h");
  EXPECT_EQ(body["a004"]["instCh"].asString(), "tab\there");
  EXPECT_EQ(body["a004"]["startId"].asString(), "line\nbreak");
  EXPECT_EQ(body["data"]["instDate"].asString(), "2024\\05\\01");
}

}  // namespace
}  // namespace Kx
