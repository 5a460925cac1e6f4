#include "base/shell_removal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/registry.h"
#include "tests/support/test_machine.h"
#include "win32/files.h"
#include "win32/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr char16_t kVerbs[] = u"SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell";

bool KeyExists(win32::HKEY root, const std::u16string& path) {
  win32::HKEY key = nullptr;
  // Paths here are the stored ones: no view redirection.
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_READ | win32::KEY_WOW64_64KEY, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  win32::RegCloseKey(key);
  return true;
}

TEST(ShellRemoval, DeletesOnlyTheVerbsOwnKey) {
  kxtest::TestMachine machine;
  for (const char16_t* verb : {u"转换为Word", u"OpenWithOther"}) {
    std::u16string key = std::u16string(kVerbs) + u"\\" + verb + u"\\command";
    ASSERT_TRUE(Kx::RegWriteText(win32::HKEY_LOCAL_MACHINE, key, u"", u"x.exe %1", Kx::kRegistryView32));
  }
  EXPECT_TRUE(Kx::DeleteShellVerb(u"转换为Word", u".pdf"));
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, std::u16string(kVerbs) + u"\\转换为Word"));
  EXPECT_TRUE(KeyExists(win32::HKEY_LOCAL_MACHINE, std::u16string(kVerbs) + u"\\OpenWithOther\\command"));
  EXPECT_FALSE(Kx::DeleteShellVerb(u"转换为Word", u".pdf"));
  EXPECT_FALSE(Kx::DeleteShellVerb(u"", u".pdf"));
  EXPECT_FALSE(Kx::DeleteShellVerb(u"x", u""));
}

TEST(ShellRemoval, UninstallEntryIsTheOneOfTheOwnView) {
  kxtest::TestMachine machine;  // a 32-bit process on a 64-bit machine
  const std::u16string wow = u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Product";
  const std::u16string native = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Product";
  ASSERT_TRUE(Kx::RegWriteText(win32::HKEY_LOCAL_MACHINE, wow + u"\\Sub", u"DisplayName", u"x", Kx::kRegistryView64));
  ASSERT_TRUE(Kx::RegWriteText(win32::HKEY_LOCAL_MACHINE, native, u"DisplayName", u"y", Kx::kRegistryView64));
  EXPECT_TRUE(Kx::DeleteUninstallEntry(u"Product"));
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, wow));
  EXPECT_TRUE(KeyExists(win32::HKEY_LOCAL_MACHINE, native));  // the 64-bit entry is someone else's
  EXPECT_FALSE(Kx::DeleteUninstallEntry(u"Product"));
  EXPECT_FALSE(Kx::DeleteUninstallEntry(u""));
}

TEST(ShellRemoval, CommonDesktopFileAndProgramGroup) {
  kxtest::TestMachine machine;
  std::string common = machine.Host(u"C:\\Users\\Public\\Desktop\\Tool.lnk");
  std::string own = machine.Host(u"C:\\Users\\alice\\Desktop\\Tool.lnk");
  ASSERT_TRUE(kxtest::WriteHostFile(common, "link"));
  ASSERT_TRUE(kxtest::WriteHostFile(own, "link"));
  fs::permissions(common, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_TRUE(Kx::DeleteCommonDesktopFile(u"Tool.lnk"));
  EXPECT_FALSE(fs::exists(common));
  EXPECT_TRUE(fs::exists(own));
  EXPECT_FALSE(Kx::DeleteCommonDesktopFile(u"Tool.lnk"));

  std::string group = machine.Host(u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Tool");
  ASSERT_TRUE(kxtest::WriteHostFile(group + "/Tool.lnk", "link"));
  ASSERT_TRUE(kxtest::WriteHostFile(group + "/More/Help.lnk", "link"));
  fs::permissions(group + "/More/Help.lnk", fs::perms::owner_write, fs::perm_options::remove);
  std::string other = machine.Host(u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Other\\o.lnk");
  ASSERT_TRUE(kxtest::WriteHostFile(other, "link"));
  EXPECT_TRUE(Kx::DeleteCommonProgramsFolder(u"Tool"));
  EXPECT_FALSE(fs::exists(group));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_FALSE(Kx::DeleteCommonProgramsFolder(u""));
}

}  // namespace
