#include "base/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

std::string Utf8(std::u16string_view text) { return win32::ToUtf8(text); }

// Little-endian UTF-16 bytes, without a terminator.
std::string Units(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

// Stores a value of any type and bytes, creating the key.
void Store(win32::HKEY root, std::u16string_view path, std::u16string_view name, win32::DWORD type,
           const std::string& bytes, win32::REGSAM view = 0) {
  win32::HKEY key = nullptr;
  std::u16string p(path), n(name);
  ASSERT_EQ(win32::RegCreateKeyExW(root, p.c_str(), 0, nullptr, 0, win32::KEY_WRITE | view, nullptr,
                                   &key, nullptr),
            win32::ERROR_SUCCESS)
      << Utf8(path);
  EXPECT_EQ(win32::RegSetValueExW(key, n.c_str(), 0, type,
                                  reinterpret_cast<const win32::BYTE*>(bytes.data()),
                                  static_cast<win32::DWORD>(bytes.size())),
            win32::ERROR_SUCCESS);
  win32::RegCloseKey(key);
}

struct Raw {
  win32::LSTATUS status = win32::ERROR_SUCCESS;
  win32::DWORD type = 0;
  std::string bytes;
};
Raw Fetch(win32::HKEY root, std::u16string_view path, std::u16string_view name,
          win32::REGSAM view = 0) {
  Raw raw;
  win32::HKEY key = nullptr;
  std::u16string p(path), n(name);
  raw.status = win32::RegOpenKeyExW(root, p.c_str(), 0, win32::KEY_QUERY_VALUE | view, &key);
  if (raw.status) return raw;
  win32::DWORD size = 0;
  raw.status = win32::RegQueryValueExW(key, n.c_str(), nullptr, &raw.type, nullptr, &size);
  if (!raw.status) {
    raw.bytes.assign(size, '\0');
    raw.status = win32::RegQueryValueExW(key, n.c_str(), nullptr, &raw.type,
                                         reinterpret_cast<win32::BYTE*>(raw.bytes.data()), &size);
  }
  win32::RegCloseKey(key);
  return raw;
}

bool KeyExists(win32::HKEY root, std::u16string_view path, win32::REGSAM view = 0) {
  win32::HKEY key = nullptr;
  std::u16string p(path);
  if (win32::RegOpenKeyExW(root, p.c_str(), 0, win32::KEY_READ | view, &key)) return false;
  win32::RegCloseKey(key);
  return true;
}

constexpr char16_t kKey[] = u"Software\\KxRegistry";
const std::u16string kSentinel = u"sentinel";

class RegistryText : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.ok()); }
  kxtest::TestMachine machine_;  // a 32-bit elevated process on 64-bit Windows
};

TEST_F(RegistryText, ReadsTextAndNumbers) {
  struct Case {
    const char* what;
    win32::DWORD type;
    std::string bytes;
    bool ok;
    std::u16string want;
  };
  const Case cases[] = {
      {"dword max", win32::REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4), true, u"4294967295"},
      {"dword zero", win32::REG_DWORD, std::string(4, '\0'), true, u"0"},
      {"dword little-endian", win32::REG_DWORD, std::string("\x01\x02\0\0", 4), true, u"513"},
      {"dword of 8 bytes", win32::REG_DWORD, std::string("\x07\0\0\0\xFF\xFF\xFF\xFF", 8), true,
       u"7"},
      {"dword too short", win32::REG_DWORD, std::string("\x01\x02\x03", 3), false, u""},
      {"qword top bit", win32::REG_QWORD, std::string("\0\0\0\0\0\0\0\x80", 8), true,
       u"9223372036854775808"},
      {"qword max", win32::REG_QWORD, std::string(8, '\xFF'), true, u"18446744073709551615"},
      {"qword too short", win32::REG_QWORD, std::string("\x01\0\0\0", 4), false, u""},
      {"sz with terminator", win32::REG_SZ, Units(u"OrvanePDF转换器") + std::string(2, '\0'), true,
       u"OrvanePDF转换器"},
      {"sz without terminator", win32::REG_SZ, Units(u"abc"), true, u"abc"},
      {"sz of no bytes", win32::REG_SZ, "", true, u""},
      {"sz up to the first NUL", win32::REG_SZ, Units(std::u16string(u"ab\0cd", 5)), true, u"ab"},
      {"sz of odd size", win32::REG_SZ, Units(u"ab") + "c", true, u"ab"},
      {"expand sz is not expanded", win32::REG_EXPAND_SZ, Units(u"%TEMP%\\x"), true, u"%TEMP%\\x"},
      {"binary", win32::REG_BINARY, "abcd", false, u""},
      {"multi sz", win32::REG_MULTI_SZ, Units(std::u16string(u"a\0b\0\0", 5)), false, u""},
      {"none", win32::REG_NONE, "", false, u""},
      {"big-endian dword", win32::REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x01", 4), false, u""},
  };
  for (const Case& c : cases) {
    std::u16string name = win32::FromUtf8(c.what);
    Store(win32::HKEY_CURRENT_USER, kKey, name, c.type, c.bytes);
    std::u16string text = kSentinel;
    EXPECT_EQ(RegReadText(win32::HKEY_CURRENT_USER, kKey, name, &text, kRegistryView32), c.ok)
        << c.what;
    EXPECT_EQ(text, c.ok ? c.want : kSentinel) << c.what;
  }
}

TEST_F(RegistryText, FailedReadsLeaveTheTextAlone) {
  Store(win32::HKEY_CURRENT_USER, kKey, u"v", win32::REG_SZ, Units(u"x"));
  // Values on the root itself, which an empty key path must not reach.
  Store(win32::HKEY_CURRENT_USER, u"", u"v", win32::REG_SZ, Units(u"root"));
  Store(win32::HKEY_CURRENT_USER, u"", u"", win32::REG_SZ, Units(u"root"));
  struct Case {
    std::u16string path, name;
  };
  const Case cases[] = {
      {u"Software\\Missing", u"v"},
      {kKey, u"missing"},
      {u"", u"v"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    std::u16string text = kSentinel;
    EXPECT_FALSE(RegReadText(win32::HKEY_CURRENT_USER, c.path, c.name, &text, kRegistryView32))
        << Utf8(c.path) << " " << Utf8(c.name);
    EXPECT_EQ(text, kSentinel);
  }
  EXPECT_FALSE(RegReadText(win32::HKEY_CURRENT_USER, kKey, u"v", nullptr, kRegistryView32));
}

TEST_F(RegistryText, ValuesAboveTenMebibytesAreRefused) {
  const std::string limit(0xA00000, 'a');  // 'a', 'a' is the unit U+6161
  Store(win32::HKEY_CURRENT_USER, kKey, u"limit", win32::REG_SZ, limit);
  Store(win32::HKEY_CURRENT_USER, kKey, u"above", win32::REG_SZ, limit + "aa");
  std::u16string text = kSentinel;
  EXPECT_FALSE(RegReadText(win32::HKEY_CURRENT_USER, kKey, u"above", &text, kRegistryView32));
  EXPECT_EQ(text, kSentinel);
  ASSERT_TRUE(RegReadText(win32::HKEY_CURRENT_USER, kKey, u"limit", &text, kRegistryView32));
  EXPECT_EQ(text, std::u16string(0x500000, u'\x6161'));
}

TEST_F(RegistryText, WritesTerminatedText) {
  struct Case {
    std::u16string text;
  };
  const Case cases[] = {{u""}, {u"a"}, {u"OrvanePDF转换器"}, {u"\U0001F600"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, u"Software\\KxNew\\A\\B", u"v", c.text,
                             kRegistryView32));
    Raw raw = Fetch(win32::HKEY_CURRENT_USER, u"Software\\KxNew\\A\\B", u"v");
    EXPECT_EQ(raw.status, win32::ERROR_SUCCESS);
    EXPECT_EQ(raw.type, win32::REG_SZ);
    EXPECT_EQ(raw.bytes, Units(c.text) + std::string(2, '\0')) << Utf8(c.text);
    std::u16string back;
    EXPECT_TRUE(RegReadText(win32::HKEY_CURRENT_USER, u"Software\\KxNew\\A\\B", u"v", &back,
                            kRegistryView32));
    EXPECT_EQ(back, c.text);
  }
  // The empty name is the default value; a trailing separator names the same key.
  ASSERT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, u"SoftWare\\KxNew\\", u"", u"default",
                           kRegistryView32));
  EXPECT_EQ(Fetch(win32::HKEY_CURRENT_USER, u"Software\\KxNew", u"").bytes,
            Units(u"default") + std::string(2, '\0'));

  EXPECT_FALSE(RegWriteText(win32::HKEY_CURRENT_USER, u"", u"rootvalue", u"x", kRegistryView32));
  EXPECT_EQ(Fetch(win32::HKEY_CURRENT_USER, u"", u"rootvalue").status, win32::ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryText, ViewsOfTheMachineSoftwareKey) {
  ASSERT_TRUE(
      RegWriteText(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"32", kRegistryView32));
  ASSERT_TRUE(
      RegWriteText(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"64", kRegistryView64));
  EXPECT_EQ(Fetch(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KxApp", u"v",
                  win32::KEY_WOW64_64KEY)
                .bytes,
            Units(u"32") + std::string(2, '\0'));
  std::u16string text;
  ASSERT_TRUE(
      RegReadText(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", &text, kRegistryView32));
  EXPECT_EQ(text, u"32");
  ASSERT_TRUE(
      RegReadText(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", &text, kRegistryView64));
  EXPECT_EQ(text, u"64");

  // Under the user's Software key both views are the same data.
  ASSERT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, u"SoftWare\\ovapp\\Kx", u"v", u"one",
                           kRegistryView32));
  ASSERT_TRUE(
      RegReadText(win32::HKEY_CURRENT_USER, u"Software\\ovapp\\Kx", u"v", &text, kRegistryView64));
  EXPECT_EQ(text, u"one");

  // Deleting without a view works in the process's own (32-bit) view.
  EXPECT_TRUE(RegDeleteTree(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp"));
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", win32::KEY_WOW64_32KEY));
  EXPECT_TRUE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", win32::KEY_WOW64_64KEY));
}

TEST_F(RegistryText, DeleteTreeRemovesEverythingBelow) {
  for (const char16_t* path :
       {u"Software\\KxTree\\A\\B\\C", u"Software\\KxTree\\A\\D", u"Software\\KxTree\\E"})
    ASSERT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, path, u"v", u"x", kRegistryView32));
  ASSERT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, u"Software\\KxTreeSibling", u"v", u"x",
                           kRegistryView32));

  EXPECT_TRUE(RegDeleteTree(win32::HKEY_CURRENT_USER, u"Software\\KxTree"));
  for (const char16_t* path :
       {u"Software\\KxTree", u"Software\\KxTree\\A\\B\\C", u"Software\\KxTree\\E"})
    EXPECT_FALSE(KeyExists(win32::HKEY_CURRENT_USER, path)) << Utf8(path);
  EXPECT_TRUE(KeyExists(win32::HKEY_CURRENT_USER, u"Software\\KxTreeSibling"));

  EXPECT_FALSE(RegDeleteTree(win32::HKEY_CURRENT_USER, u"Software\\KxTree"));  // gone already
  EXPECT_FALSE(RegDeleteTree(win32::HKEY_CURRENT_USER, u""));
  EXPECT_TRUE(KeyExists(win32::HKEY_CURRENT_USER, u"Software"));

  // A verb below the merged classes root goes alone; its siblings stay.
  const std::u16string shell = u"SystemFileAssociations\\.pdf\\Shell\\";
  ASSERT_TRUE(RegWriteText(win32::HKEY_CLASSES_ROOT, shell + u"KxMerge\\command", u"", u"x",
                           kRegistryView32));
  ASSERT_TRUE(RegWriteText(win32::HKEY_CLASSES_ROOT, shell + u"Other\\command", u"", u"x",
                           kRegistryView32));
  EXPECT_TRUE(RegDeleteTree(win32::HKEY_CLASSES_ROOT, shell + u"kxmerge"));
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\" + shell + u"KxMerge"));
  EXPECT_TRUE(KeyExists(win32::HKEY_CLASSES_ROOT, shell + u"Other\\command"));
}

TEST_F(RegistryText, ThreadsWritingOneValueLastWriterWins) {
  constexpr int kRounds = 50;
  std::vector<std::thread> threads;
  bool ok[2] = {true, true};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t, &ok] {
      const std::u16string text = t ? u"second" : u"first";
      for (int i = 0; i < kRounds; ++i)
        ok[t] =
            RegWriteText(win32::HKEY_CURRENT_USER, kKey, u"shared", text, kRegistryView32) && ok[t];
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(ok[0]);
  EXPECT_TRUE(ok[1]);
  std::u16string text;
  ASSERT_TRUE(RegReadText(win32::HKEY_CURRENT_USER, kKey, u"shared", &text, kRegistryView32));
  EXPECT_TRUE(text == u"first" || text == u"second") << Utf8(text);
}

TEST(RegistryTextUnelevated, MachineKeysAreReadOnly) {
  kxtest::TestMachine machine({}, kxtest::TestProcess{.elevated = false});
  ASSERT_TRUE(machine.ok());
  EXPECT_FALSE(
      RegWriteText(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"x", kRegistryView32));
  EXPECT_FALSE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", win32::KEY_WOW64_32KEY));
  EXPECT_FALSE(RegDeleteTree(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Office"));
  EXPECT_TRUE(KeyExists(win32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Office"));
  // Reading the machine and writing the user's own keys are allowed.
  std::u16string text;
  EXPECT_TRUE(RegWriteText(win32::HKEY_CURRENT_USER, u"SoftWare\\ovapp\\Kx", u"v", u"mine",
                           kRegistryView32));
  EXPECT_TRUE(
      RegReadText(win32::HKEY_CURRENT_USER, u"SoftWare\\ovapp\\Kx", u"v", &text, kRegistryView32));
  EXPECT_EQ(text, u"mine");
}

}  // namespace
}  // namespace Kx
