#include "tools/kxmachine/regfile.h"

#include <gtest/gtest.h>

#include "tests/support/test_machine.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace {

std::string Utf16le(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

class RegFileTest : public ::testing::Test {
 protected:
  RegFileTest() : machine_(win32::MachineSetup{}, kxtest::TestProcess{.elevated = true, .bits = 64}) {}

  std::string Value(const char16_t* key, const char16_t* name, win32::DWORD* type) {
    win32::HKEY k = nullptr;
    if (win32::RegOpenKeyExW(win32::HKEY_LOCAL_MACHINE, key, 0, win32::KEY_READ, &k) != win32::ERROR_SUCCESS)
      return "<no key>";
    win32::DWORD size = 0;
    if (win32::RegQueryValueExW(k, name, nullptr, type, nullptr, &size) != win32::ERROR_SUCCESS) {
      win32::RegCloseKey(k);
      return "<no value>";
    }
    std::string data(size, '\0');
    win32::RegQueryValueExW(k, name, nullptr, type, reinterpret_cast<win32::BYTE*>(data.data()), &size);
    win32::RegCloseKey(k);
    return data;
  }

  kxtest::TestMachine machine_;
};

TEST_F(RegFileTest, HandWrittenFileImports) {
  // As people write them: UTF-8, comments, continuation lines, deletions.
  const std::string file =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; the product's entry\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fixture\\Sub]\r\n"
      "@=\"默认\"\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\a \\\"b\\\"\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[HKLM\\SOFTWARE\\Fixture\\Old]\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Fixture\\Old]\r\n";
  std::string error;
  ASSERT_TRUE(kxmachine::ImportRegFile(file, &error)) << error;
  win32::DWORD type = 0;
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"", &type), win32::ToUtf8(u"") + std::string("\xD8\x9E\xA4\x8B\0\0", 6));
  EXPECT_EQ(type, win32::REG_SZ);
  std::u16string path = u"C:\\Program Files\\a \"b\"";
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"Path", &type),
            std::string(reinterpret_cast<const char*>(path.c_str()), (path.size() + 1) * 2));
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"Count", &type), std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(type, win32::REG_DWORD);
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"Blob", &type), std::string("\x01\x02\x03\xff", 4));
  EXPECT_EQ(type, win32::REG_BINARY);
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"Multi", &type), std::string("a\0\0\0b\0\0\0\0\0", 10));
  EXPECT_EQ(type, win32::REG_MULTI_SZ);
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Sub", u"Gone", &type), "<no value>");
  EXPECT_EQ(Value(u"SOFTWARE\\Fixture\\Old", u"", &type), "<no key>");

  // regedit's own UTF-16 files import too.
  ASSERT_TRUE(kxmachine::ImportRegFile(
      Utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\U16]\r\n\"v\"=\"x\"\r\n"),
      &error))
      << error;
  EXPECT_EQ(Value(u"SOFTWARE\\U16", u"v", &type), std::string("x\0\0\0", 4));

  EXPECT_FALSE(kxmachine::ImportRegFile("[HKEY_LOCAL_MACHINE\\X]\r\n", &error));
  EXPECT_FALSE(kxmachine::ImportRegFile("Windows Registry Editor Version 5.00\r\n\"a\"=\"b\"\r\n", &error));
  EXPECT_FALSE(kxmachine::ImportRegFile("Windows Registry Editor Version 5.00\r\n[HKEY_NOWHERE\\X]\r\n", &error));
}

TEST_F(RegFileTest, ExportImportsBackToTheSameRegistry) {
  // Values of every kind, including ones a quoted string cannot carry exactly.
  const std::string source =
      "Windows Registry Editor Version 5.00\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Round\\A]\r\n"
      "\"sz\"=\"text\"\r\n"
      "\"unterminated\"=hex(1):41,00\r\n"
      "\"empty\"=hex(1):\r\n"
      "\"expand\"=hex(2):25,00,54,00,00,00\r\n"
      "\"dword\"=dword:ffffffff\r\n"
      "\"short\"=hex(4):01,02\r\n"
      "\"qword\"=hex(b):00,00,00,00,00,00,00,80\r\n"
      "\"none\"=hex(0):\r\n"
      "\"long\"=hex:" + [] {
        std::string h;
        for (int i = 0; i < 100; ++i) h += (i ? ",": "") + std::string("ab");
        return h;
      }() + "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Round\\A\\Child]\r\n"
      "@=\"中文\"\r\n";
  std::string error;
  ASSERT_TRUE(kxmachine::ImportRegFile(source, &error)) << error;
  std::string exported;
  ASSERT_TRUE(kxmachine::ExportKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Round", &exported, &error)) << error;
  EXPECT_EQ(exported.substr(0, 2), "\xFF\xFE");

  // Into a second machine; its export must be byte for byte the same.
  kxtest::TestMachine other(win32::MachineSetup{}, kxtest::TestProcess{.elevated = true, .bits = 64});
  ASSERT_TRUE(kxmachine::ImportRegFile(exported, &error)) << error;
  std::string again;
  ASSERT_TRUE(kxmachine::ExportKey("HKLM\\SOFTWARE\\Round", &again, &error)) << error;
  EXPECT_EQ(again, exported);
  win32::DWORD type = 0;
  EXPECT_EQ(Value(u"SOFTWARE\\Round\\A", u"unterminated", &type), std::string("A\0", 2));
  EXPECT_EQ(type, win32::REG_SZ);
  EXPECT_EQ(Value(u"SOFTWARE\\Round\\A", u"short", &type), std::string("\x01\x02", 2));
  EXPECT_EQ(type, win32::REG_DWORD);
  EXPECT_FALSE(kxmachine::ExportKey("HKLM\\SOFTWARE\\Missing", &again, &error));
}

}  // namespace
