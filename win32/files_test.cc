#include "win32/files.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/errors.h"
#include "win32/pending.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace {

using namespace win32;
namespace fs = std::filesystem;

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

// The names a search lists, in order.
std::vector<std::u16string> List(const std::u16string& pattern) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  return names;
}

// The host names of a folder, to see exactly what was created.
std::set<std::string> HostNames(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename());
  return names;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    ASSERT_TRUE(CreateDirectoryW(u"C:\\Work", nullptr));
  }
  // Writes a file of the machine from outside.
  void Put(std::u16string_view path, std::string_view bytes = "data") {
    ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(path), bytes)) << Utf8(path);
  }
  bool Exists(std::u16string_view path) {
    return GetFileAttributesW(std::u16string(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  kxtest::TestMachine machine_;
};

TEST_F(FilesTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\Foo", nullptr));
  EXPECT_EQ(HostNames(machine_.Host(u"C:\\Work")), std::set<std::string>{"Foo"});

  DWORD attributes = GetFileAttributesW(u"C:\\WORK\\FOO");
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(List(u"c:\\work\\*"), (std::vector<std::u16string>{u".", u"..", u"Foo"}));

  // A second name that differs only in case is the same entry.
  SetLastError(0);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\work\\FOO", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  // A file created through one spelling is found, listed and replaced through others.
  Put(u"C:\\Work\\Foo\\Report.TXT", "first");
  ASSERT_TRUE(CopyFileW(u"C:\\WORK\\foo\\report.txt", u"C:\\Work\\Foo\\Copy.Txt", TRUE));
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"C:\\work\\FOO\\COPY.TXT", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"Copy.Txt");
  EXPECT_EQ(data.nFileSizeLow, 5u);
  FindClose(find);

  Put(u"C:\\Work\\second", "second");
  ASSERT_TRUE(CopyFileW(u"C:\\Work\\second", u"C:\\WORK\\FOO\\COPY.txt", FALSE));
  EXPECT_EQ(HostNames(machine_.Host(u"C:\\Work\\Foo")),
            (std::set<std::string>{"Copy.Txt", "Report.TXT"}));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\Foo\\Copy.Txt")), "second");

  // Non-ASCII names fold one unit at a time, as Windows does.
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\Ärger", nullptr));
  EXPECT_NE(GetFileAttributesW(u"C:\\Work\\äRGER"), INVALID_FILE_ATTRIBUTES);

  // A move to the same name in another case renames it.
  ASSERT_TRUE(MoveFileW(u"C:\\Work\\Foo\\Report.TXT", u"C:\\Work\\Foo\\report.txt"));
  EXPECT_EQ(List(u"C:\\Work\\Foo\\rep*"), std::vector<std::u16string>{u"report.txt"});
  ASSERT_TRUE(MoveFileW(u"C:\\work\\foo\\REPORT.txt", u"C:\\Work\\Foo\\Moved.txt"));
  ASSERT_TRUE(DeleteFileW(u"C:\\WORK\\FOO\\MOVED.TXT"));
  ASSERT_TRUE(DeleteFileW(u"c:/work/foo/copy.txt"));
  ASSERT_TRUE(RemoveDirectoryW(u"C:\\WORK\\FOO"));
  EXPECT_EQ(HostNames(machine_.Host(u"C:\\Work")), (std::set<std::string>{"Ärger", "second"}));
}

TEST_F(FilesTest, MissingPathsReportWhichPartIsMissing) {
  struct Case {
    std::u16string path;
    DWORD error;
  };
  const Case cases[] = {
      {u"C:\\Work\\nothing", ERROR_FILE_NOT_FOUND},
      {u"C:\\Work\\no\\thing", ERROR_PATH_NOT_FOUND},
      {u"Q:\\x", ERROR_PATH_NOT_FOUND},  // no such drive
      {u"C:\\Work\\a|b", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES) << Utf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << Utf8(c.path);
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(c.path.c_str())) << Utf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << Utf8(c.path);
  }
}

TEST_F(FilesTest, ReadOnlyIsEnforcedAndCanBeCleared) {
  Put(u"C:\\Work\\ro.txt", "keep");
  ASSERT_TRUE(SetFileAttributesW(u"C:\\Work\\ro.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\ro.txt"),
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

  SetLastError(0);
  EXPECT_FALSE(DeleteFileW(u"C:\\Work\\ro.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Exists(u"C:\\Work\\ro.txt"));

  // A read-only file cannot be written over, neither by a copy nor by a replacing move.
  Put(u"C:\\Work\\other.txt", "other");
  SetLastError(0);
  EXPECT_FALSE(CopyFileW(u"C:\\Work\\other.txt", u"C:\\Work\\ro.txt", FALSE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_FALSE(MoveFileExW(u"C:\\Work\\other.txt", u"C:\\Work\\ro.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\ro.txt")), "keep");

  // A copy takes the attribute along; renaming a read-only file is allowed.
  ASSERT_TRUE(CopyFileW(u"C:\\Work\\ro.txt", u"C:\\Work\\ro-copy.txt", TRUE));
  EXPECT_TRUE(GetFileAttributesW(u"C:\\Work\\ro-copy.txt") & FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(MoveFileW(u"C:\\Work\\ro-copy.txt", u"C:\\Work\\ro-moved.txt"));
  EXPECT_TRUE(GetFileAttributesW(u"C:\\Work\\ro-moved.txt") & FILE_ATTRIBUTE_READONLY);

  ASSERT_TRUE(SetFileAttributesW(u"C:\\Work\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\ro.txt"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(DeleteFileW(u"C:\\Work\\ro.txt"));
  EXPECT_FALSE(Exists(u"C:\\Work\\ro.txt"));

  // A read-only folder cannot be removed until the attribute is cleared.
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\RoDir", nullptr));
  ASSERT_TRUE(SetFileAttributesW(u"C:\\Work\\RoDir", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\RoDir"),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryW(u"C:\\Work\\RoDir"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // The attribute of a folder does not protect what is inside it.
  Put(u"C:\\Work\\in.txt", "in");
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Work\\RoDir\\Sub", nullptr));
  EXPECT_TRUE(CopyFileW(u"C:\\Work\\in.txt", u"C:\\Work\\RoDir\\copy.txt", TRUE));
  EXPECT_TRUE(MoveFileW(u"C:\\Work\\in.txt", u"C:\\Work\\RoDir\\in.txt"));
  EXPECT_TRUE(MoveFileW(u"C:\\Work\\RoDir\\copy.txt", u"C:\\Work\\copy.txt"));
  EXPECT_TRUE(DeleteFileW(u"C:\\Work\\RoDir\\in.txt"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\Work\\RoDir\\Sub"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\RoDir"),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(HostNames(machine_.Host(u"C:\\Work\\RoDir")).empty());
  ASSERT_TRUE(SetFileAttributesW(u"C:\\Work\\RoDir", 0));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\Work\\RoDir"));

  SetLastError(0);
  EXPECT_FALSE(SetFileAttributesW(u"C:\\Work\\missing", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, LinksAreReparsePointsAndRemovedThemselves) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Target", nullptr));
  Put(u"C:\\Target\\kept.txt", "kept");
  std::error_code ec;
  fs::create_directory_symlink(machine_.Host(u"C:\\Target"), machine_.Host(u"C:\\Work\\DirLink"),
                               ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(machine_.Host(u"C:\\Target\\kept.txt"), machine_.Host(u"C:\\Work\\FileLink"),
                     ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(machine_.Host(u"C:\\Target\\gone"), machine_.Host(u"C:\\Work\\Dangling"), ec);
  ASSERT_FALSE(ec) << ec.message();

  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\DirLink"),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\FileLink"), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Work\\Dangling"), FILE_ATTRIBUTE_REPARSE_POINT);
  // Paths through a folder link reach the target's files.
  EXPECT_NE(GetFileAttributesW(u"C:\\Work\\dirlink\\KEPT.txt"), INVALID_FILE_ATTRIBUTES);

  // The listing shows the links as reparse points too.
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"C:\\Work\\DirLink", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  FindClose(find);

  // A folder link is no file, and a file link is no folder.
  SetLastError(0);
  EXPECT_FALSE(DeleteFileW(u"C:\\Work\\DirLink"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryW(u"C:\\Work\\FileLink"));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);

  // Removing a link, even to a folder that is not empty, leaves the target alone.
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\Work\\DirLink"));
  EXPECT_TRUE(DeleteFileW(u"C:\\Work\\FileLink"));
  EXPECT_TRUE(DeleteFileW(u"C:\\Work\\Dangling"));
  EXPECT_TRUE(HostNames(machine_.Host(u"C:\\Work")).empty());
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Target\\kept.txt")), "kept");
}

TEST_F(FilesTest, RemoveDirectoryErrors) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\Full", nullptr));
  Put(u"C:\\Work\\Full\\f.txt");
  Put(u"C:\\Work\\plain.txt");
  struct Case {
    std::u16string path;
    DWORD error;
  };
  const Case cases[] = {
      {u"C:\\Work\\Full", ERROR_DIR_NOT_EMPTY},
      {u"C:\\Work\\plain.txt", ERROR_DIRECTORY},
      {u"C:\\Work\\missing", ERROR_FILE_NOT_FOUND},
      {u"C:\\Work\\missing\\deeper", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(RemoveDirectoryW(c.path.c_str())) << Utf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << Utf8(c.path);
  }
  EXPECT_TRUE(Exists(u"C:\\Work\\Full\\f.txt"));

  // DeleteFileW does not remove folders, and CreateDirectoryW needs the parent.
  SetLastError(0);
  EXPECT_FALSE(DeleteFileW(u"C:\\Work\\Full"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Work\\a\\b", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Work\\plain.txt", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
}

TEST_F(FilesTest, CopyAndMoveRefuseExistingNames) {
  Put(u"C:\\Work\\a.txt", "alpha");
  Put(u"C:\\Work\\b.txt", "beta");

  SetLastError(0);
  EXPECT_FALSE(CopyFileW(u"C:\\Work\\a.txt", u"C:\\Work\\B.TXT", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  SetLastError(0);
  EXPECT_FALSE(MoveFileW(u"C:\\Work\\a.txt", u"C:\\Work\\b.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  SetLastError(0);
  EXPECT_FALSE(MoveFileExW(u"C:\\Work\\a.txt", u"C:\\Work\\b.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\b.txt")), "beta");
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\a.txt")), "alpha");

  // Without the guard the copy replaces, byte for byte.
  const std::string binary("\0\x01\xFF\r\n\x1A", 6);
  Put(u"C:\\Work\\bin.dat", binary);
  ASSERT_TRUE(CopyFileW(u"C:\\Work\\bin.dat", u"C:\\Work\\b.txt", FALSE));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\b.txt")), binary);
  ASSERT_TRUE(MoveFileExW(u"C:\\Work\\a.txt", u"C:\\Work\\b.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Work\\b.txt")), "alpha");
  EXPECT_FALSE(Exists(u"C:\\Work\\a.txt"));

  struct Case {
    const char* what;
    std::u16string from, to;
    DWORD error;
  };
  const Case cases[] = {
      {"missing source", u"C:\\Work\\none.txt", u"C:\\Work\\x.txt", ERROR_FILE_NOT_FOUND},
      {"missing target folder", u"C:\\Work\\b.txt", u"C:\\Work\\no\\x.txt", ERROR_PATH_NOT_FOUND},
      {"folder as source", u"C:\\Work", u"C:\\x.txt", ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(CopyFileW(c.from.c_str(), c.to.c_str(), TRUE)) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  SetLastError(0);
  EXPECT_FALSE(MoveFileW(u"C:\\Work\\none.txt", u"C:\\Work\\x.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // A folder moves within its drive with everything in it.
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\Dir", nullptr));
  Put(u"C:\\Work\\Dir\\inner.txt", "inner");
  ASSERT_TRUE(MoveFileW(u"C:\\Work\\Dir", u"C:\\Moved"));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Moved\\inner.txt")), "inner");
  EXPECT_FALSE(Exists(u"C:\\Work\\Dir"));
}

// The bytes of the Session Manager's list, as stored.
std::u16string PendingValue(DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return u"<no key>";
  DWORD size = 0;
  std::u16string units;
  if (RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, type, nullptr, &size) ==
      ERROR_SUCCESS) {
    std::string bytes(size, '\0');
    RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, type,
                     reinterpret_cast<BYTE*>(bytes.data()), &size);
    EXPECT_EQ(size % 2, 0u);
    units.resize(size / 2);
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  } else {
    units = u"<no value>";
  }
  RegCloseKey(key);
  return units;
}

TEST_F(FilesTest, DelayUntilRebootAppendsInWindowsLayout) {
  Put(u"C:\\Work\\old.dll");
  Put(u"C:\\Work\\new.dll");
  Put(u"C:\\Work\\b.dll");
  ASSERT_TRUE(MoveFileExW(u"C:/Work/old.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(u"C:\\Work\\new.dll", u"C:\\Work\\old.dll",
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(MoveFileExW(u"C:\\Work\\b.dll", u"C:\\Work\\c.dll", MOVEFILE_DELAY_UNTIL_REBOOT));

  const std::u16string nul(1, u'\0');
  const std::u16string want = u"\\??\\C:\\Work\\old.dll" + nul + nul +  // delete
                              u"\\??\\C:\\Work\\new.dll" + nul +        // replace
                              u"!\\??\\C:\\Work\\old.dll" + nul +       //
                              u"\\??\\C:\\Work\\b.dll" + nul + u"\\??\\C:\\Work\\c.dll" + nul +
                              nul;  // the list's end
  DWORD type = 0;
  EXPECT_EQ(PendingValue(&type), want);
  EXPECT_EQ(type, REG_MULTI_SZ);

  std::vector<PendingOperation> ops = ReadPendingOperations();
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].source, u"C:\\Work\\old.dll");
  EXPECT_EQ(ops[0].target, u"");
  EXPECT_EQ(ops[1].target, u"C:\\Work\\old.dll");
  EXPECT_TRUE(ops[1].replace);
  EXPECT_FALSE(ops[2].replace);

  // Nothing happens before the restart.
  EXPECT_TRUE(Exists(u"C:\\Work\\old.dll"));
  EXPECT_TRUE(Exists(u"C:\\Work\\b.dll"));
  EXPECT_FALSE(Exists(u"C:\\Work\\c.dll"));

  // A delayed operation cannot be a copy.
  SetLastError(0);
  EXPECT_FALSE(MoveFileExW(u"C:\\Work\\b.dll", nullptr,
                           MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(PendingValue(&type), want);
}

TEST(FilesUnelevated, DelayUntilRebootNeedsElevation) {
  kxtest::TestMachine machine({}, kxtest::TestProcess{.elevated = false});
  ASSERT_TRUE(machine.ok());
  ASSERT_TRUE(kxtest::WriteHostFile(machine.Host(u"C:\\Users\\alice\\x.dll"), "x"));
  SetLastError(0);
  EXPECT_FALSE(MoveFileExW(u"C:\\Users\\alice\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  DWORD type = 0;
  EXPECT_EQ(PendingValue(&type), u"<no value>");
  EXPECT_TRUE(ReadPendingOperations().empty());
  // An immediate move needs no elevation.
  EXPECT_TRUE(MoveFileExW(u"C:\\Users\\alice\\x.dll", u"C:\\Users\\alice\\y.dll", 0));
}

TEST_F(FilesTest, GetTempPathFollowsTheBufferRules) {
  const std::u16string want = u"C:\\Users\\alice\\AppData\\Local\\Temp\\";
  const DWORD n = static_cast<DWORD>(want.size());
  EXPECT_EQ(GetTempPathW(0, nullptr), n + 1);

  char16_t buffer[MAX_PATH];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  // One unit short of the terminator: the size needed, nothing written.
  EXPECT_EQ(GetTempPathW(n, buffer), n + 1);
  EXPECT_TRUE(
      std::all_of(std::begin(buffer), std::end(buffer), [](char16_t c) { return c == u'#'; }));
  // Exactly enough: the length without the terminator.
  EXPECT_EQ(GetTempPathW(n + 1, buffer), n);
  EXPECT_EQ(std::u16string(buffer), want);
  EXPECT_EQ(buffer[n + 1], u'#');
  EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), n);

  // The folder exists.
  EXPECT_EQ(GetFileAttributesW(buffer), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesTest, FullAndShortPathNames) {
  struct Case {
    std::u16string given, want, file_part;
  };
  const Case cases[] = {
      {u"C:/Work/./a/../b.txt", u"C:\\Work\\b.txt", u"b.txt"},
      {u"C:\\Work\\dir\\", u"C:\\Work\\dir\\", u""},
      {u"C:\\Work\\name. .", u"C:\\Work\\name", u"name"},
      {u"C:\\..\\..\\x", u"C:\\x", u"x"},
  };
  for (const Case& c : cases) {
    char16_t buffer[MAX_PATH];
    char16_t* file_part = buffer;  // a sentinel: must be set, to null if there is no name
    DWORD n = GetFullPathNameW(c.given.c_str(), MAX_PATH, buffer, &file_part);
    EXPECT_EQ(n, c.want.size()) << Utf8(c.given);
    EXPECT_EQ(std::u16string(buffer), c.want) << Utf8(c.given);
    if (c.file_part.empty()) {
      EXPECT_EQ(file_part, nullptr) << Utf8(c.given);
    } else {
      ASSERT_NE(file_part, nullptr) << Utf8(c.given);
      EXPECT_EQ(std::u16string(file_part), c.file_part) << Utf8(c.given);
    }
  }
  char16_t small[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(GetFullPathNameW(u"C:\\Work\\b.txt", 4, small, nullptr), 14u);
  EXPECT_EQ(small[0], u'#');

  // Short names are not kept: an existing path is its own short form.
  char16_t buffer[MAX_PATH];
  EXPECT_EQ(GetShortPathNameW(u"C:\\Work", buffer, MAX_PATH), 7u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Work");
  EXPECT_EQ(GetShortPathNameW(u"C:\\Work", buffer, 7), 8u);
  SetLastError(0);
  EXPECT_EQ(GetShortPathNameW(u"C:\\Work\\missing", buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, SearchListsDotEntriesFirst) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Work\\Sub", nullptr));
  Put(u"C:\\Work\\b.txt", "12345");
  Put(u"C:\\Work\\A.log");

  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"C:\\Work\\*.*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u".");
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(FindNextFileW(find, &data));
  EXPECT_EQ(std::u16string(data.cFileName), u"..");
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  std::set<std::u16string> rest;
  while (FindNextFileW(find, &data)) {
    rest.insert(data.cFileName);
    if (std::u16string(data.cFileName) == u"b.txt") {
      EXPECT_EQ(data.nFileSizeLow, 5u);
      EXPECT_EQ(data.nFileSizeHigh, 0u);
      EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    }
    if (std::u16string(data.cFileName) == u"Sub") {
      EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    }
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(rest, (std::set<std::u16string>{u"A.log", u"Sub", u"b.txt"}));

  EXPECT_EQ(List(u"C:\\Work\\Sub\\*.*"), (std::vector<std::u16string>{u".", u".."}));
  EXPECT_EQ(List(u"C:\\Work\\*.TXT"), std::vector<std::u16string>{u"b.txt"});
  EXPECT_EQ(List(u"C:\\Work\\?.log"), std::vector<std::u16string>{u"A.log"});
  // A drive root has no dot entries.
  std::vector<std::u16string> root = List(u"C:\\*.*");
  EXPECT_TRUE(std::find(root.begin(), root.end(), u"Work") != root.end());
  EXPECT_TRUE(std::find(root.begin(), root.end(), u".") == root.end());
  EXPECT_TRUE(std::find(root.begin(), root.end(), u"..") == root.end());

  struct Case {
    std::u16string pattern;
    DWORD error;
  };
  const Case cases[] = {
      {u"C:\\Work\\*.none", ERROR_FILE_NOT_FOUND},
      {u"C:\\Work\\missing\\*.*", ERROR_PATH_NOT_FOUND},
      {u"C:\\Work\\missing", ERROR_FILE_NOT_FOUND},
      {u"C:\\Work\\", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(FindFirstFileW(c.pattern.c_str(), &data), INVALID_HANDLE_VALUE) << Utf8(c.pattern);
    EXPECT_EQ(GetLastError(), c.error) << Utf8(c.pattern);
  }
  SetLastError(0);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, SearchReportsSizesAboveFourGigabytes) {
  // A sparse file: the size is real, the disk space is not taken.
  Put(u"C:\\Work\\big.bin", "");
  std::error_code ec;
  fs::resize_file(machine_.Host(u"C:\\Work\\big.bin"), (5ull << 30) + 7, ec);
  ASSERT_FALSE(ec) << ec.message();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"C:\\Work\\big.bin", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, (1u << 30) + 7);
  FindClose(find);
}

TEST_F(FilesTest, DenyWriteRefusesChangesInsideTheFolder) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Locked", nullptr));
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Locked\\Sub", nullptr));
  ASSERT_TRUE(CreateDirectoryW(u"C:\\LockedNot", nullptr));
  Put(u"C:\\Locked\\f.txt", "locked");
  Put(u"C:\\Work\\src.txt", "src");
  Json::Value deny(Json::arrayValue);
  deny.append("C:\\Locked");
  machine_.SetFact("deny_write", deny);

  struct Case {
    const char* what;
    std::function<BOOL()> call;
  };
  const Case cases[] = {
      {"create folder", [] { return CreateDirectoryW(u"C:\\Locked\\New", nullptr); }},
      {"create folder, other case", [] { return CreateDirectoryW(u"c:\\LOCKED\\New", nullptr); }},
      {"remove folder", [] { return RemoveDirectoryW(u"C:\\Locked\\Sub"); }},
      {"delete file", [] { return DeleteFileW(u"C:\\Locked\\f.txt"); }},
      {"set attributes",
       [] { return SetFileAttributesW(u"C:\\Locked\\f.txt", FILE_ATTRIBUTE_READONLY); }},
      {"copy in", [] { return CopyFileW(u"C:\\Work\\src.txt", u"C:\\Locked\\g.txt", TRUE); }},
      {"copy over", [] { return CopyFileW(u"C:\\Work\\src.txt", u"C:\\Locked\\f.txt", FALSE); }},
      {"move out", [] { return MoveFileW(u"C:\\Locked\\f.txt", u"C:\\Work\\f.txt"); }},
      {"move in", [] { return MoveFileW(u"C:\\Work\\src.txt", u"C:\\Locked\\src.txt"); }},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << c.what;
  }
  EXPECT_EQ(HostNames(machine_.Host(u"C:\\Locked")), (std::set<std::string>{"Sub", "f.txt"}));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Locked\\f.txt")), "locked");
  EXPECT_TRUE(Exists(u"C:\\Work\\src.txt"));

  // Reading is allowed, and a folder that merely starts with the same name is not locked.
  EXPECT_EQ(GetFileAttributesW(u"C:\\Locked\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(List(u"C:\\Locked\\*.*").size(), 4u);
  EXPECT_TRUE(CopyFileW(u"C:\\Locked\\f.txt", u"C:\\LockedNot\\f.txt", TRUE));
  EXPECT_TRUE(CreateDirectoryW(u"C:\\LockedNot\\New", nullptr));
}

}  // namespace
