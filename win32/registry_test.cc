#include "win32/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/machine.h"
#include "win32/unicode.h"

namespace {

using namespace win32;

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

// A key that closes itself.
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() { reset(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY get() const { return key_; }
  HKEY* receive() {
    reset();
    return &key_;
  }
  void reset() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// The bytes of a REG_SZ with its terminator.
std::string Sz(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  bytes.append(2, '\0');
  return bytes;
}

LSTATUS Create(HKEY root, std::u16string_view path, REGSAM access, ScopedKey* key,
               DWORD* disposition = nullptr) {
  return RegCreateKeyExW(root, std::u16string(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         access, nullptr, key->receive(), disposition);
}

LSTATUS Open(HKEY root, std::u16string_view path, REGSAM access, ScopedKey* key) {
  return RegOpenKeyExW(root, std::u16string(path).c_str(), 0, access, key->receive());
}

LSTATUS Set(HKEY key, std::u16string_view name, DWORD type, const std::string& bytes) {
  return RegSetValueExW(key, std::u16string(name).c_str(), 0, type,
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

// Writes a REG_SZ value, creating the key.
void Write(HKEY root, std::u16string_view path, std::u16string_view name, std::u16string_view text,
           REGSAM view = 0) {
  ScopedKey key;
  ASSERT_EQ(Create(root, path, KEY_WRITE | view, &key), ERROR_SUCCESS) << Utf8(path);
  ASSERT_EQ(Set(key.get(), name, REG_SZ, Sz(text)), ERROR_SUCCESS) << Utf8(path);
}

// The value's type and bytes; an empty optional-like pair when it cannot be read.
struct Read {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = 0xDEAD;
  std::string bytes;
};
Read Query(HKEY root, std::u16string_view path, std::u16string_view name, REGSAM view = 0) {
  Read r;
  ScopedKey key;
  r.status = Open(root, path, KEY_QUERY_VALUE | view, &key);
  if (r.status) return r;
  std::u16string n(name);
  DWORD size = 0;
  r.status = RegQueryValueExW(key.get(), n.c_str(), nullptr, &r.type, nullptr, &size);
  if (r.status) return r;
  r.bytes.assign(size, '\0');
  r.status = RegQueryValueExW(key.get(), n.c_str(), nullptr, &r.type,
                              reinterpret_cast<BYTE*>(r.bytes.data()), &size);
  r.bytes.resize(size);
  return r;
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD size = 256;
    LSTATUS s = RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(s, ERROR_SUCCESS);
    if (s) break;
    names.emplace_back(name, size);
  }
  return names;
}

std::vector<std::u16string> ValueNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD size = 256;
    LSTATUS s = RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(s, ERROR_SUCCESS);
    if (s) break;
    names.emplace_back(name, size);
  }
  return names;
}

TEST(RegistryViews, ThirtyTwoBitProcessWritesBelowWow6432Node) {
  kxtest::TestMachine machine;  // 64-bit Windows, a 32-bit elevated process
  ASSERT_TRUE(machine.ok());
  Write(HKEY_LOCAL_MACHINE, u"software\\KxApp\\Sub", u"v", u"32");

  // The data lives in the 32-bit branch; the 64-bit view does not see it.
  EXPECT_EQ(
      Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KxApp\\Sub", u"v", KEY_WOW64_64KEY).bytes,
      Sz(u"32"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v", KEY_WOW64_64KEY).status,
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v", KEY_WOW64_32KEY).bytes,
            Sz(u"32"));

  // A key opened on the way is redirected too when a subkey is opened from it.
  ScopedKey software;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE", KEY_READ, &software), ERROR_SUCCESS);
  EXPECT_EQ(Query(software.get(), u"KxApp\\Sub", u"v").bytes, Sz(u"32"));

  // The 64-bit key is reached with KEY_WOW64_64KEY, and stays apart.
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v", u"64", KEY_WOW64_64KEY);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v").bytes, Sz(u"32"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v", KEY_WOW64_64KEY).bytes,
            Sz(u"64"));

  // Keys Windows shares between the views are not redirected.
  struct Case {
    HKEY root;
    std::u16string path;
  };
  const Case shared[] = {
      {HKEY_CURRENT_USER, u"Software\\KxShared"},
      {HKEY_LOCAL_MACHINE, u"SYSTEM\\KxShared"},
      {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\SystemFileAssociations\\.kx"},
  };
  for (const Case& c : shared) {
    Write(c.root, c.path, u"v", u"one", KEY_WOW64_32KEY);
    EXPECT_EQ(Query(c.root, c.path, u"v", KEY_WOW64_64KEY).bytes, Sz(u"one")) << Utf8(c.path);
    EXPECT_EQ(Query(c.root, c.path, u"v").bytes, Sz(u"one")) << Utf8(c.path);
  }
  EXPECT_EQ(
      Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\Classes", u"", KEY_WOW64_64KEY).status,
      ERROR_FILE_NOT_FOUND);

  // Deleting works in the view asked for.
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", KEY_WOW64_64KEY, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub", u"v").bytes, Sz(u"32"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(
      Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KxApp\\Sub", u"v", KEY_WOW64_64KEY).status,
      ERROR_FILE_NOT_FOUND);
  ScopedKey native;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", KEY_READ | KEY_WOW64_64KEY, &native),
            ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(native.get()).empty());
}

TEST(RegistryViews, SixtyFourBitProcessUsesTheNativeView) {
  kxtest::TestMachine machine({}, kxtest::TestProcess{.bits = 64});
  ASSERT_TRUE(machine.ok());
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"64");
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", KEY_WOW64_64KEY).bytes, Sz(u"64"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", KEY_WOW64_32KEY).status,
            ERROR_FILE_NOT_FOUND);
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"32", KEY_WOW64_32KEY);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KxApp", u"v").bytes, Sz(u"32"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v").bytes, Sz(u"64"));
}

TEST(RegistryViews, ThirtyTwoBitMachineHasOneView) {
  kxtest::TestMachine machine(MachineSetup{.arch = "x86"});
  ASSERT_TRUE(machine.ok());
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", u"only");
  for (REGSAM view : {REGSAM{0}, KEY_WOW64_32KEY, KEY_WOW64_64KEY})
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", u"v", view).bytes, Sz(u"only")) << view;
  ScopedKey wow;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node", KEY_READ | KEY_WOW64_64KEY, &wow),
            ERROR_FILE_NOT_FOUND);
}

TEST(RegistryClasses, UserClassesOverMachineClasses) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxa", u"", u"machine");
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxa\\Shell\\open", u"", u"machine verb");
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxb", u"", u"machine only");
  Write(HKEY_CURRENT_USER, u"Software\\Classes\\.kxa", u"", u"user");
  Write(HKEY_CURRENT_USER, u"Software\\Classes\\.kxu", u"", u"user only");

  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".kxa", u"").bytes, Sz(u"user"));
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".KXB", u"").bytes, Sz(u"machine only"));
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".kxu", u"").bytes, Sz(u"user only"));
  // A subkey that only the machine has is found below the user's key, directly or from a
  // handle opened through the merged root.
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".kxa\\Shell\\open", u"").bytes, Sz(u"machine verb"));
  ScopedKey kxa;
  ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u".kxa", KEY_READ, &kxa), ERROR_SUCCESS);
  EXPECT_EQ(Query(kxa.get(), u"Shell\\open", u"").bytes, Sz(u"machine verb"));
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".none", u"").status, ERROR_FILE_NOT_FOUND);

  // An elevated process creates new classes for the machine.
  Write(HKEY_CLASSES_ROOT, u".kxnew", u"", u"new");
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxnew", u"").bytes, Sz(u"new"));
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Classes\\.kxnew", u"").status,
            ERROR_FILE_NOT_FOUND);

  // Deleting through the merged root takes the user's key first.
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u".kxa"), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".kxa", u"").bytes, Sz(u"machine"));
  EXPECT_EQ(SHDeleteKeyW(HKEY_CLASSES_ROOT, u".kxa"), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, u".kxa", u"").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxa\\Shell\\open", u"").status,
            ERROR_FILE_NOT_FOUND);
}

TEST(RegistryClasses, UnelevatedProcessWritesItsOwnClasses) {
  kxtest::TestMachine machine({}, kxtest::TestProcess{.elevated = false});
  ASSERT_TRUE(machine.ok());
  Write(HKEY_CLASSES_ROOT, u".kxnew", u"", u"mine");
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Classes\\.kxnew", u"").bytes, Sz(u"mine"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.kxnew", u"").status,
            ERROR_FILE_NOT_FOUND);
  // The machine's classes are read, not changed.
  ScopedKey key;
  EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"SystemFileAssociations", KEY_SET_VALUE, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"SystemFileAssociations", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteKeyW(HKEY_CLASSES_ROOT, u"SystemFileAssociations"), ERROR_ACCESS_DENIED);
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\KxTest", KEY_ALL_ACCESS, &key_), ERROR_SUCCESS);
  }
  kxtest::TestMachine machine_;
  ScopedKey key_;
};

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
  ScopedKey sub;
  DWORD disposition = 0;
  ASSERT_EQ(Create(key_.get(), u"MixedName", KEY_ALL_ACCESS, &sub, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(
      Create(HKEY_CURRENT_USER, u"SOFTWARE\\KXTEST\\mixedname", KEY_ALL_ACCESS, &sub, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(SubkeyNames(key_.get()), std::vector<std::u16string>{u"MixedName"});

  ASSERT_EQ(Set(sub.get(), u"ValueName", REG_SZ, Sz(u"first")), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"software\\kxtest\\MIXEDNAME", u"VALUENAME").bytes,
            Sz(u"first"));
  ASSERT_EQ(Set(sub.get(), u"valuename", REG_SZ, Sz(u"second")), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(sub.get()).size(), 1u);
  EXPECT_EQ(Query(sub.get(), u"", u"ValueName").bytes, Sz(u"second"));

  // Folding is per UTF-16 unit, beyond ASCII too.
  ScopedKey umlaut;
  ASSERT_EQ(Create(key_.get(), u"Ärger", KEY_ALL_ACCESS, &umlaut), ERROR_SUCCESS);
  EXPECT_EQ(Open(key_.get(), u"äRGER", KEY_READ, &umlaut), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(key_.get()), (std::vector<std::u16string>{u"MixedName", u"Ärger"}));
}

TEST_F(RegistryTest, PathsAreCheckedAsWindowsDoes) {
  ScopedKey key;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"\\Software\\KxTest", KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(key.get(), nullptr);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxTest\\", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxTest\\Missing", KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.get(), nullptr);
  // An empty subkey opens the key itself.
  EXPECT_EQ(Open(key_.get(), u"", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, QueryReportsSizeAndMoreData) {
  ASSERT_EQ(Set(key_.get(), u"text", REG_SZ, Sz(u"abc")), ERROR_SUCCESS);
  DWORD type = 0xDEAD, size = 0;
  ASSERT_EQ(RegQueryValueExW(key_.get(), u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);

  BYTE buffer[16];
  size = 4;
  type = 0xDEAD;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"text", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, REG_SZ);
  size = 8;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"text", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), Sz(u"abc"));
  // A larger buffer gets the real size back, and nothing after the data is touched.
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"text", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(buffer[8], 0xEE);

  EXPECT_EQ(RegQueryValueExW(key_.get(), u"text", nullptr, nullptr, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"missing", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  // The default value answers to the empty name and to a null name.
  ASSERT_EQ(Set(key_.get(), u"", REG_SZ, Sz(u"default")), ERROR_SUCCESS);
  size = 0;
  EXPECT_EQ(RegQueryValueExW(key_.get(), nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, Sz(u"default").size());
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytes) {
  struct Case {
    const char* what;
    DWORD type;
    std::string bytes;
  };
  const Case cases[] = {
      {"REG_SZ without terminator", REG_SZ, std::string("a\0b\0c\0", 6)},
      {"REG_SZ of no bytes", REG_SZ, ""},
      {"REG_SZ with an inner NUL", REG_SZ, std::string("a\0\0\0b\0\0\0", 8)},
      {"REG_SZ of odd size", REG_SZ, std::string("a\0b", 3)},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, Sz(u"%TEMP%\\x")},
      {"REG_MULTI_SZ", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
      {"REG_BINARY", REG_BINARY, std::string("\xFF\0\x01", 3)},
      {"REG_DWORD", REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)},
      {"REG_DWORD too short", REG_DWORD, std::string("\x01\x02", 2)},
      {"REG_QWORD", REG_QWORD, std::string("\0\0\0\0\0\0\0\x80", 8)},
      {"REG_NONE", REG_NONE, ""},
  };
  for (const Case& c : cases) {
    std::u16string name = FromUtf8(c.what);
    ASSERT_EQ(Set(key_.get(), name, c.type, c.bytes), ERROR_SUCCESS) << c.what;
    Read r = Query(key_.get(), u"", name);
    EXPECT_EQ(r.status, ERROR_SUCCESS) << c.what;
    EXPECT_EQ(r.type, c.type) << c.what;
    EXPECT_EQ(r.bytes, c.bytes) << c.what;
  }
  // Enumeration gives the values in the order they were made, with the same bytes.
  std::vector<std::u16string> names = ValueNames(key_.get());
  ASSERT_EQ(names.size(), std::size(cases));
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(Utf8(names[i]), cases[i].what);
  BYTE data[16];
  DWORD data_size = sizeof data, type = 0;
  char16_t name[64];
  DWORD name_size = 64;
  ASSERT_EQ(RegEnumValueW(key_.get(), 0, name, &name_size, nullptr, &type, data, &data_size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), data_size), cases[0].bytes);
  name_size = 3;  // too small for the name
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, name, &name_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  DWORD values = 0, max_name = 0, max_data = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &values, &max_name, &max_data, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, std::size(cases));
  size_t longest = 0;
  for (const Case& c : cases) longest = std::max(longest, std::string(c.what).size());
  EXPECT_EQ(max_name, longest);
  EXPECT_EQ(max_data, Sz(u"%TEMP%\\x").size());
}

TEST_F(RegistryTest, SubkeysAreListedInNameOrder) {
  for (const char16_t* name : {u"b", u"A", u"c", u"Bb"}) {
    ScopedKey sub;
    ASSERT_EQ(Create(key_.get(), name, KEY_WRITE, &sub), ERROR_SUCCESS);
  }
  EXPECT_EQ(SubkeyNames(key_.get()), (std::vector<std::u16string>{u"A", u"b", u"Bb", u"c"}));
  char16_t name[2];
  DWORD size = 2;  // "Bb" needs 3 units with its terminator
  EXPECT_EQ(RegEnumKeyExW(key_.get(), 2, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  size = 2;
  EXPECT_EQ(RegEnumKeyExW(key_.get(), 4, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  DWORD subkeys = 0, max_len = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, &subkeys, &max_len, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 4u);
  EXPECT_EQ(max_len, 2u);
}

TEST_F(RegistryTest, HandleRightsLimitWhatItCanDo) {
  ScopedKey query;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxTest", KEY_QUERY_VALUE, &query), ERROR_SUCCESS);
  ASSERT_EQ(Set(key_.get(), u"v", REG_SZ, Sz(u"kept")), ERROR_SUCCESS);

  EXPECT_EQ(Set(query.get(), u"v", REG_SZ, Sz(u"changed")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(query.get(), u"v"), ERROR_ACCESS_DENIED);
  ScopedKey sub;
  EXPECT_EQ(Create(query.get(), u"New", KEY_READ, &sub), ERROR_ACCESS_DENIED);
  char16_t name[16];
  DWORD size = 16;
  EXPECT_EQ(RegEnumKeyExW(query.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Query(query.get(), u"", u"v").bytes, Sz(u"kept"));
  EXPECT_EQ(Open(key_.get(), u"New", KEY_READ, &sub), ERROR_FILE_NOT_FOUND);

  ScopedKey set;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxTest", KEY_SET_VALUE, &set), ERROR_SUCCESS);
  DWORD type = 0;
  size = 0;
  EXPECT_EQ(RegQueryValueExW(set.get(), u"v", nullptr, &type, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Set(set.get(), u"v", REG_SZ, Sz(u"changed")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(set.get(), u"v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(set.get(), u"v"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeletingKeys) {
  ScopedKey leaf;
  ASSERT_EQ(Create(key_.get(), u"Tree\\A\\B\\C", KEY_WRITE, &leaf), ERROR_SUCCESS);
  ASSERT_EQ(Set(leaf.get(), u"v", REG_DWORD, std::string("\1\0\0\0", 4)), ERROR_SUCCESS);
  leaf.reset();
  ASSERT_EQ(Create(key_.get(), u"Tree\\A2", KEY_WRITE, &leaf), ERROR_SUCCESS);
  leaf.reset();

  EXPECT_EQ(RegDeleteKeyW(key_.get(), u"Tree\\A"), ERROR_ACCESS_DENIED);  // has subkeys
  ScopedKey probe;
  EXPECT_EQ(Open(key_.get(), u"Tree\\A\\B\\C", KEY_READ, &probe), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(key_.get(), u"Tree\\A\\B\\C"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(key_.get(), u"Tree\\A\\B\\C"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteTreeW(key_.get(), u"Tree\\A"), ERROR_SUCCESS);
  EXPECT_EQ(Open(key_.get(), u"Tree\\A", KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(key_.get(), u"Tree\\A2", KEY_READ, &probe), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteKeyW(key_.get(), u"Tree"), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteKeyW(key_.get(), u"Tree"), ERROR_FILE_NOT_FOUND);

  // A null subkey empties the key and keeps it.
  ScopedKey full;
  ASSERT_EQ(Create(key_.get(), u"Full\\Child", KEY_WRITE, &full), ERROR_SUCCESS);
  ASSERT_EQ(Set(key_.get(), u"v", REG_SZ, Sz(u"x")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(key_.get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(key_.get()).empty());
  EXPECT_TRUE(ValueNames(key_.get()).empty());
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxTest", KEY_READ, &probe), ERROR_SUCCESS);
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsKeyDeleted) {
  ScopedKey gone;
  ASSERT_EQ(Create(key_.get(), u"Gone", KEY_ALL_ACCESS, &gone), ERROR_SUCCESS);
  ASSERT_EQ(Set(gone.get(), u"v", REG_SZ, Sz(u"x")), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\KxTest\\Gone"), ERROR_SUCCESS);

  // The name is taken again by a new key; the old handle still names the deleted one.
  ScopedKey again;
  ASSERT_EQ(Create(key_.get(), u"Gone", KEY_ALL_ACCESS, &again), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(gone.get(), u"v", nullptr, &type, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(Set(gone.get(), u"w", REG_SZ, Sz(u"y")), ERROR_KEY_DELETED);
  ScopedKey sub;
  EXPECT_EQ(Create(gone.get(), u"Sub", KEY_ALL_ACCESS, &sub), ERROR_KEY_DELETED);
  char16_t name[16];
  size = 16;
  EXPECT_EQ(RegEnumKeyExW(gone.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_TRUE(ValueNames(again.get()).empty());
  EXPECT_TRUE(SubkeyNames(again.get()).empty());

  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExW(key_.get(), u"Gone", 0, KEY_READ, &raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
}

TEST(RegistryAccess, UnelevatedProcessCannotWriteTheMachine) {
  kxtest::TestMachine machine({}, kxtest::TestProcess{.elevated = false});
  ASSERT_TRUE(machine.ok());
  ScopedKey key;
  EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.get(), nullptr);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KxApp", KEY_READ | KEY_WOW64_32KEY, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", KEY_SET_VALUE, &key),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Set(key.get(), u"v", REG_SZ, Sz(u"x")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Set(HKEY_LOCAL_MACHINE, u"v", REG_SZ, Sz(u"x")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Office"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Office", KEY_READ, &key),
            ERROR_SUCCESS);
  // Another user's hive is closed as well; the process's own is open.
  EXPECT_EQ(Create(HKEY_USERS, u".DEFAULT\\Software\\KxApp", KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  Write(HKEY_CURRENT_USER, u"Software\\KxApp", u"v", u"mine");
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\KxApp", u"v").bytes, Sz(u"mine"));
}

TEST(RegistryConcurrency, TwoProcessesWriteAtOnce) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  constexpr int kValues = 150;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  // Each process writes its own values and races for one shared value and one new key.
  auto write_all = [&](const char16_t* who) {
    int failures = 0;
    for (int i = 0; i < kValues; ++i) {
      ScopedKey key;
      std::u16string name = std::u16string(who) + u"-" + FromUtf8(std::to_string(i));
      failures += Create(HKEY_CURRENT_USER, u"Software\\KxRace\\Both", KEY_WRITE, &key) != 0;
      failures += Set(key.get(), name, REG_SZ, Sz(who)) != 0;
      failures += Set(key.get(), u"last", REG_SZ, Sz(who)) != 0;
    }
    return failures;
  };
  if (child == 0) {
    // A connection of its own: the parent's must not be used across the fork.
    char go;
    ::close(start[1]);
    bool ready = ::read(start[0], &go, 1) == 1 && BindMachine(machine.root());
    ::_exit(ready ? (write_all(u"child") ? 2 : 0) : 3);
  }
  ::close(start[0]);
  ASSERT_EQ(::write(start[1], "g", 1), 1);
  ::close(start[1]);
  EXPECT_EQ(write_all(u"parent"), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  ScopedKey both;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\KxRace\\Both", KEY_READ, &both), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(both.get()).size(), 2u * kValues + 1);
  std::string last = Query(both.get(), u"", u"last").bytes;
  EXPECT_TRUE(last == Sz(u"parent") || last == Sz(u"child"));
  for (const char16_t* who : {u"parent", u"child"})
    EXPECT_EQ(
        Query(both.get(), u"", std::u16string(who) + u"-" + FromUtf8(std::to_string(kValues - 1)))
            .bytes,
        Sz(who));
}

}  // namespace
