#include "base/install_record.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/registry.h"
#include "tests/support/test_machine.h"
#include "win32/unicode.h"

namespace {

constexpr char16_t kProduct[] = u"OrvaneRUZUrevivaer";
constexpr char16_t kRecordKey[] = u"SOFTWARE\\ovapp\\OrvaneRUZUrevivaer";

class InstallRecordTest : public ::testing::Test {
 protected:
  std::u16string List() {
    std::u16string text = u"<absent>";
    Kx::ReadInstallValue(kProduct, u"sz", &text);
    return text;
  }
  kxtest::TestMachine machine_;
};

TEST_F(InstallRecordTest, SharedListReadsEveryItem) {
  struct Case {
    std::u16string text;
    std::vector<std::u16string> items;
  };
  const Case cases[] = {
      {u"", {}},
      {u"a,b,c", {u"a", u"b", u"c"}},
      {u",a", {u"", u"a"}},      // an empty item before a leading comma is kept
      {u"a,,b", {u"a", u"", u"b"}},
      {u"a,", {u"a"}},           // a trailing comma adds nothing
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Kx::WriteInstallValue(kProduct, u"sz", c.text));
    std::vector<std::u16string> items = {u"stale"};
    Kx::GetSharedProductList(kProduct, &items);
    EXPECT_EQ(items, c.items) << win32::ToUtf8(c.text);
  }
}

TEST_F(InstallRecordTest, RemoveSharedProductRewritesTheList) {
  struct Case {
    std::u16string before, id, after;
  };
  const Case cases[] = {
      {u"a,b,c", u"b", u"a,c"},
      {u"b", u"b", u""},          // the value stays, empty
      {u",x,b", u"b", u"x"},      // empty items at the front vanish
      {u"b,,x", u"b", u"x"},
      {u"a,,b", u"b", u"a,"},     // an empty item after a non-empty one leaves a comma
      {u"a,B", u"b", u"a,B"},     // case matters: nothing is written
      {u"b,b", u"b", u"b"},       // only the first goes
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Kx::WriteInstallValue(kProduct, u"sz", c.before));
    EXPECT_TRUE(Kx::RemoveSharedProduct(kProduct, c.id));
    EXPECT_EQ(List(), c.after) << win32::ToUtf8(c.before);
  }
  // An id that is not listed leaves the value unwritten: here it does not even appear.
  ASSERT_TRUE(Kx::RegDeleteTree(win32::HKEY_CURRENT_USER, kRecordKey));
  EXPECT_TRUE(Kx::RemoveSharedProduct(kProduct, u"x"));
  EXPECT_EQ(List(), u"<absent>");
  EXPECT_TRUE(Kx::RemoveSharedProduct(kProduct, u""));
  EXPECT_EQ(List(), u"<absent>");
}

TEST_F(InstallRecordTest, ProductIsPresentOnlyWithANonEmptyInstallFolder) {
  ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(u"C:\\Apps\\Full\\a.exe"), "x"));
  std::filesystem::create_directories(machine_.Host(u"C:\\Apps\\Empty"));
  ASSERT_TRUE(Kx::WriteInstallValue(u"Full", u"installpath", u"C:\\Apps\\Full"));
  ASSERT_TRUE(Kx::WriteInstallValue(u"Empty", u"installpath", u"C:\\Apps\\Empty"));
  ASSERT_TRUE(Kx::WriteInstallValue(u"Gone", u"installpath", u"C:\\Apps\\Gone"));
  ASSERT_TRUE(Kx::WriteInstallValue(u"Blank", u"installpath", u""));
  EXPECT_TRUE(Kx::IsProductPresent(u"Full"));
  EXPECT_TRUE(Kx::IsProductPresent(u"full"));  // registry names are case-insensitive
  EXPECT_FALSE(Kx::IsProductPresent(u"Empty"));
  EXPECT_FALSE(Kx::IsProductPresent(u"Gone"));
  EXPECT_FALSE(Kx::IsProductPresent(u"Blank"));
  EXPECT_FALSE(Kx::IsProductPresent(u"Unknown"));
  EXPECT_FALSE(Kx::IsProductPresent(u""));
}

TEST_F(InstallRecordTest, ValuesAndDeletion) {
  std::u16string text = u"sentinel";
  EXPECT_FALSE(Kx::ReadInstallValue(kProduct, u"ch", &text));
  EXPECT_EQ(text, u"sentinel");
  EXPECT_FALSE(Kx::WriteInstallValue(u"", u"ch", u"1"));
  EXPECT_FALSE(Kx::WriteInstallValue(kProduct, u"", u"1"));
  ASSERT_TRUE(Kx::WriteInstallValue(kProduct, u"ch", u"100234"));
  ASSERT_TRUE(Kx::WriteInstallValue(kProduct, u"installDate", u"2026-11-02"));
  EXPECT_EQ(Kx::GetInstallChannel(kProduct), u"100234");
  EXPECT_EQ(Kx::GetInstallDate(kProduct), u"2026-11-02");
  EXPECT_EQ(Kx::GetInstallVersion(kProduct), u"");
  // The record lies below the maker key, whatever the case of its path.
  ASSERT_TRUE(Kx::RegWriteText(win32::HKEY_CURRENT_USER, u"SOFTWARE\\ovapp", u"uuid", u"keep",
                               Kx::kRegistryView32));
  ASSERT_TRUE(Kx::WriteInstallValue(u"OrvaneOCR", u"ch", u"7"));
  EXPECT_TRUE(Kx::DeleteInstallRecord(kProduct));
  EXPECT_FALSE(Kx::DeleteInstallRecord(kProduct));
  EXPECT_EQ(Kx::GetInstallChannel(kProduct), u"");
  EXPECT_EQ(Kx::GetInstallChannel(u"OrvaneOCR"), u"7");
  std::u16string uuid;
  EXPECT_TRUE(Kx::RegReadText(win32::HKEY_CURRENT_USER, u"SOFTWARE\\ovapp", u"uuid", &uuid, Kx::kRegistryView32));
  EXPECT_EQ(uuid, u"keep");
}

}  // namespace
