#include "stat/known_apps.h"

#include <gtest/gtest.h>

#include <string>

#include "base/registry.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "tests/support/test_machine.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

constexpr char16_t kUninstall[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

TEST(KnownApps, EveryEntryUnsealsToItsName) {
  struct Entry {
    int32_t key;
    const char* name;
  };
  const Entry want[] = {
      {1, "Adobe Acrobat Reader DC"},
      {2, "Foxit Reader"},
      {3, "WPS Office"},
      {4, "SumatraPDF"},
      {5, "PDF-XChange Editor_is1"},
      {6, "Nitro Pro"},
      {8, "ABBYY FineReader 15"},
      {9, "WeChat"},
      {10, "Kingsoft PDF"},
  };
  std::span<const KnownApp> table = KnownAppTable();
  ASSERT_EQ(table.size(), std::size(want));
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].key, want[i].key);
    const std::string sealed = WideToAnsi(table[i].sealed_name);
    EXPECT_TRUE(sealed.size() == 24 || sealed.size() == 44 || sealed.size() == 64) << sealed;
    EXPECT_EQ(Unseal(sealed), want[i].name) << "key " << table[i].key;
  }
}

// Creates an uninstall entry in one view of HKLM.
bool Install(const char16_t* name, win32::REGSAM view) {
  win32::HKEY key = nullptr;
  const std::u16string path = kUninstall + std::u16string(name);
  if (win32::RegCreateKeyExW(win32::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                             win32::KEY_ALL_ACCESS | view, nullptr, &key,
                             nullptr) != win32::ERROR_SUCCESS)
    return false;
  win32::RegCloseKey(key);
  return true;
}

TEST(KnownApps, StatesFollowTheEntryInEitherView) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  ASSERT_TRUE(Install(u"Foxit Reader", win32::KEY_WOW64_64KEY));  // key 2
  ASSERT_TRUE(Install(u"WeChat", win32::KEY_WOW64_32KEY));        // key 9
  // Another name that only resembles an entry of the table.
  ASSERT_TRUE(Install(u"WPS Office 2019", win32::KEY_WOW64_64KEY));
  struct Case {
    int32_t key;
    bool result;
    int32_t state;
  };
  const Case cases[] = {
      {2, true, kKnownAppPresent},        {9, true, kKnownAppPresent},
      {3, true, kKnownAppAbsent},         {1, true, kKnownAppAbsent},
      {7, false, kKnownAppUndetermined},  {0, false, kKnownAppUndetermined},
      {11, false, kKnownAppUndetermined}, {-1, false, kKnownAppUndetermined},
  };
  for (const Case& c : cases) {
    int32_t state = -7;
    EXPECT_EQ(CheckKnownApp(c.key, &state), c.result) << "key " << c.key;
    EXPECT_EQ(state, c.state) << "key " << c.key;
  }
}

}  // namespace
}  // namespace Kx
