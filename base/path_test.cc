#include "base/path.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_machine.h"
#include "win32/files.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

namespace fs = std::filesystem;

std::string Utf8(std::u16string_view text) { return win32::ToUtf8(text); }

TEST(CombinePath, JoinsAsWindowsDoes) {
  struct Case {
    std::u16string base, rel, want;
  };
  const Case cases[] = {
      {u"C:\\a\\", u"\\b\\c", u"C:\\a\\b\\c"},
      {u"C:\\a", u"D:\\x", u"D:\\x"},  // an absolute relative path wins
      {u"C:\\a", u"C:/x", u"C:/x"},
      {u"C:\\a", u"\\\\server\\share", u"\\\\server\\share"},
      {u"", u"\\x", u"x"},
      {u"\\", u"x", u"x"},                    // a base of separators only is empty
      {u"\"C:\\a\"", u"\"b\"", u"C:\\a\\b"},  // quotes are removed
      {u"C:\\a", u"\"D:\\x\"", u"D:\\x"},
      {u"C:\\a", u"C:", u"C:\\a\\C:"},      // a bare drive is relative
      {u"C:\\a", u"//b/c", u"C:\\a\\b/c"},  // two slashes are no network path
      {u"C:/a//", u"b", u"C:/a\\b"},        // only a backslash is ever inserted
      {u"C:\\a", u"", u"C:\\a\\"},
      {u"C:\\a", u"\"\"", u"C:\\a\\"},
      {u"\"", u"x", u"\"\\x"},  // one quote is no quoted path
      {u"", u"", u""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CombinePath(c.base, c.rel), c.want) << Utf8(c.base) << " + " << Utf8(c.rel);
}

TEST(FileNameParts, SplitAtEitherSeparator) {
  struct Case {
    std::u16string path, name, extension;
  };
  const Case cases[] = {
      {u"C:\\x.y\\file", u"file", u""},  // a dot in a folder name does not count
      {u"a.tar.gz", u"a.tar.gz", u".gz"},
      {u"C:/dir/Report.PDF", u"Report.PDF", u".PDF"},
      {u"C:\\dir\\", u"", u""},
      {u"C:\\dir/", u"", u""},
      {u"C:\\dir\\.hidden", u".hidden", u".hidden"},
      {u"name.", u"name.", u"."},
      {u"plain", u"plain", u""},
      {u"", u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileName(c.path), c.name) << Utf8(c.path);
    EXPECT_EQ(GetFileExtension(c.path), c.extension) << Utf8(c.path);
  }
}

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.ok()); }
  void Put(std::u16string_view path, std::string_view bytes = "data") {
    ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(path), bytes)) << Utf8(path);
  }
  void Dir(std::u16string_view path) {
    std::error_code ec;
    fs::create_directories(machine_.Host(path), ec);
    ASSERT_FALSE(ec) << Utf8(path);
  }
  void ReadOnly(std::u16string_view path) {
    ASSERT_TRUE(
        win32::SetFileAttributesW(std::u16string(path).c_str(), win32::FILE_ATTRIBUTE_READONLY))
        << Utf8(path);
  }
  void Link(std::u16string_view target, std::u16string_view link) {
    std::error_code ec;
    fs::create_symlink(machine_.Host(target), machine_.Host(link), ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  void DenyWrite(const char* folder) {
    Json::Value deny(Json::arrayValue);
    if (folder) deny.append(folder);
    machine_.SetFact("deny_write", deny);
  }

  kxtest::TestMachine machine_;
};

TEST_F(PathTest, ExistenceTestsIgnoreQuotesAndTrailingSeparators) {
  Dir(u"C:\\Data\\Sub");
  Put(u"C:\\Data\\f.txt");
  Link(u"C:\\Data\\Sub", u"C:\\Data\\SubLink");
  struct Case {
    std::u16string path;
    bool exists, file, directory;
  };
  const Case cases[] = {
      {u"C:\\Data", true, false, true},
      {u"C:\\Data\\", true, false, true},
      {u"C:\\Data\\\\/", true, false, true},
      {u"\"C:\\Data\"", true, false, true},
      {u"\"C:\\Data\\\"", true, false, true},
      {u"c:/data/sub", true, false, true},
      {u"C:\\Data\\SubLink", true, false, true},
      {u"C:\\DATA\\F.TXT", true, true, false},
      {u"\"C:\\Data\\f.txt\"", true, true, false},
      {u"C:\\Data\\none", false, false, false},
      {u"C:\\Data\\none\\deeper", false, false, false},
      {u"\"", false, false, false},
      {u"", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathExists(c.path), c.exists) << Utf8(c.path);
    EXPECT_EQ(IsFile(c.path), c.file) << Utf8(c.path);
    EXPECT_EQ(IsDirectory(c.path), c.directory) << Utf8(c.path);
  }
}

TEST_F(PathTest, IsPathEmptyAndFileSize) {
  Dir(u"C:\\Empty");
  Dir(u"C:\\WithFolder\\Inner");
  Put(u"C:\\WithFile\\zero.txt", "");
  Put(u"C:\\zero.bin", "");
  Put(u"C:\\five.bin", "12345");
  Put(u"C:\\big.bin", "");
  std::error_code ec;
  const uint64_t big = (5ull << 30) + 3;  // sparse: the size is real, the space is not taken
  fs::resize_file(machine_.Host(u"C:\\big.bin"), big, ec);
  ASSERT_FALSE(ec) << ec.message();

  struct Case {
    std::u16string path;
    bool empty;
    uint64_t size;
  };
  const Case cases[] = {
      {u"C:\\missing", true, 0},     {u"C:\\Empty", true, 0},         {u"\"C:\\Empty\\\"", true, 0},
      {u"C:\\WithFolder", false, 0},  // one empty sub-folder is an entry
      {u"C:\\WithFile", false, 0},   {u"\"C:\\WithFile\"", false, 0}, {u"C:\\zero.bin", true, 0},
      {u"C:\\five.bin", false, 5},   {u"C:\\FIVE.BIN", false, 5},     {u"C:\\big.bin", false, big},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsPathEmpty(c.path), c.empty) << Utf8(c.path);
    EXPECT_EQ(GetFileSize64(c.path), c.size) << Utf8(c.path);
  }
}

TEST_F(PathTest, DeleteFileForceRemovesReadOnlyFiles) {
  Put(u"C:\\Data\\ro.txt");
  ReadOnly(u"C:\\Data\\ro.txt");
  EXPECT_TRUE(DeleteFileForce(u"C:\\data\\RO.TXT"));
  EXPECT_FALSE(PathExists(u"C:\\Data\\ro.txt"));

  EXPECT_FALSE(DeleteFileForce(u"C:\\Data\\ro.txt"));  // already gone
  EXPECT_FALSE(DeleteFileForce(u"C:\\Data"));          // a folder is no file
  EXPECT_TRUE(IsDirectory(u"C:\\Data"));

  // Where nothing may be changed the file stays, read-only as it was.
  Dir(u"C:\\Locked");
  Put(u"C:\\Locked\\ro.txt");
  ReadOnly(u"C:\\Locked\\ro.txt");
  DenyWrite("C:\\Locked");
  EXPECT_FALSE(DeleteFileForce(u"C:\\Locked\\ro.txt"));
  EXPECT_EQ(win32::GetFileAttributesW(u"C:\\Locked\\ro.txt"),
            win32::FILE_ATTRIBUTE_READONLY | win32::FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(PathTest, DeleteFolderTreeRemovesNestedReadOnlyTrees) {
  for (const char16_t* file : {u"C:\\Tree\\a.txt", u"C:\\Tree\\A1\\b.txt",
                               u"C:\\Tree\\A1\\B2\\c.txt", u"C:\\Tree\\A1\\B2\\C3\\d.txt"}) {
    Put(file);
    ReadOnly(file);
  }
  Dir(u"C:\\Tree\\Empty");
  for (const char16_t* folder : {u"C:\\Tree\\A1\\B2\\C3", u"C:\\Tree\\A1\\B2", u"C:\\Tree\\A1",
                                 u"C:\\Tree\\Empty", u"C:\\Tree"})
    ReadOnly(folder);
  DeleteFolderTree(u"C:\\tree\\");
  EXPECT_FALSE(PathExists(u"C:\\Tree"));
  EXPECT_TRUE(IsDirectory(u"C:\\"));
}

TEST_F(PathTest, DeleteFolderTreeNeverFollowsLinks) {
  Put(u"C:\\Outside\\keep.txt", "keep");
  Put(u"C:\\Outside\\Deep\\keep2.txt", "keep2");
  ReadOnly(u"C:\\Outside\\keep.txt");
  Put(u"C:\\Tree\\own.txt");
  Dir(u"C:\\Tree\\Sub");
  Link(u"C:\\Outside", u"C:\\Tree\\Junction");
  Link(u"C:\\Outside\\Deep", u"C:\\Tree\\Sub\\DeepLink");
  Link(u"C:\\Outside\\keep.txt", u"C:\\Tree\\FileLink");
  Link(u"C:\\Outside\\gone", u"C:\\Tree\\Dangling");
  ASSERT_EQ(win32::GetFileAttributesW(u"C:\\Tree\\Junction"),
            win32::FILE_ATTRIBUTE_REPARSE_POINT | win32::FILE_ATTRIBUTE_DIRECTORY);

  DeleteFolderTree(u"C:\\Tree");
  EXPECT_FALSE(PathExists(u"C:\\Tree"));
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Outside\\keep.txt")), "keep");
  EXPECT_EQ(kxtest::ReadHostFile(machine_.Host(u"C:\\Outside\\Deep\\keep2.txt")), "keep2");
  // The target's attributes are not touched either.
  EXPECT_EQ(win32::GetFileAttributesW(u"C:\\Outside\\keep.txt"),
            win32::FILE_ATTRIBUTE_READONLY | win32::FILE_ATTRIBUTE_ARCHIVE);

  // A folder that is itself a link: the link goes, the target stays.
  Link(u"C:\\Outside", u"C:\\TopLink");
  DeleteFolderTree(u"C:\\TopLink\\");
  EXPECT_FALSE(PathExists(u"C:\\TopLink"));
  EXPECT_TRUE(IsFile(u"C:\\Outside\\keep.txt"));
}

TEST_F(PathTest, DeleteFolderTreeGoesOnAfterFailuresAndCanBeRepeated) {
  Put(u"C:\\Tree\\first.txt");
  Put(u"C:\\Tree\\Locked\\held.txt");
  Put(u"C:\\Tree\\Other\\free.txt");
  Put(u"C:\\Tree\\z.txt");
  DenyWrite("C:\\Tree\\Locked");
  DeleteFolderTree(u"C:\\Tree");
  EXPECT_TRUE(IsFile(u"C:\\Tree\\Locked\\held.txt"));
  EXPECT_FALSE(PathExists(u"C:\\Tree\\first.txt"));
  EXPECT_FALSE(PathExists(u"C:\\Tree\\Other"));
  EXPECT_FALSE(PathExists(u"C:\\Tree\\z.txt"));

  DenyWrite(nullptr);
  DeleteFolderTree(u"C:\\Tree");
  EXPECT_FALSE(PathExists(u"C:\\Tree"));

  DeleteFolderTree(u"C:\\Tree");  // a missing folder is no error
  EXPECT_FALSE(PathExists(u"C:\\Tree"));
}

TEST_F(PathTest, DeleteFolderTreeOfTenThousandFiles) {
  const std::string root = machine_.Host(u"C:\\Many");
  for (int d = 0; d < 10; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    fs::create_directories(dir);
    for (int f = 0; f < 1000; ++f) {
      std::ofstream out(dir + "/file" + std::to_string(f) + ".txt");
      out << f;
    }
  }
  ASSERT_FALSE(IsPathEmpty(u"C:\\Many\\d9"));
  DeleteFolderTree(u"C:\\Many");
  EXPECT_FALSE(PathExists(u"C:\\Many"));
  std::error_code ec;
  EXPECT_FALSE(fs::exists(root, ec));
}

TEST_F(PathTest, CreateDirectoryTree) {
  EXPECT_TRUE(CreateDirectoryTree(u"C:\\a\\b\\c"));
  for (const char16_t* folder : {u"C:\\a", u"C:\\a\\b", u"C:\\a\\b\\c"})
    EXPECT_TRUE(IsDirectory(folder)) << Utf8(folder);
  EXPECT_TRUE(CreateDirectoryTree(u"C:\\a\\b\\c"));  // already there
  // Existing folders are found whatever the case; no second folder appears on the host.
  EXPECT_TRUE(CreateDirectoryTree(u"C:\\A\\B\\d/e\\"));
  EXPECT_TRUE(IsDirectory(u"C:\\a\\b\\d\\e"));
  std::error_code ec;
  EXPECT_FALSE(fs::exists(machine_.Host(u"C:\\A"), ec));

  Put(u"C:\\a\\file.txt");
  EXPECT_FALSE(CreateDirectoryTree(u"C:\\a\\file.txt"));       // names a file
  EXPECT_FALSE(CreateDirectoryTree(u"C:\\a\\file.txt\\sub"));  // below a file
  EXPECT_TRUE(IsFile(u"C:\\a\\file.txt"));
  EXPECT_FALSE(CreateDirectoryTree(u""));

  DenyWrite("C:\\a");
  EXPECT_FALSE(CreateDirectoryTree(u"C:\\a\\locked\\x"));
  EXPECT_FALSE(PathExists(u"C:\\a\\locked"));
}

TEST_F(PathTest, ApplicationDataFolders) {
  std::u16string out = u"sentinel";
  EXPECT_FALSE(GetLocalAppDataFolder(u"OrvaneRUZUrevivaer", false, &out));
  EXPECT_EQ(out, u"C:\\Users\\alice\\AppData\\Local\\OrvaneRUZUrevivaer");
  EXPECT_FALSE(PathExists(out));
  EXPECT_TRUE(GetLocalAppDataFolder(u"OrvaneRUZUrevivaer\\dump", true, &out));
  EXPECT_EQ(out, u"C:\\Users\\alice\\AppData\\Local\\OrvaneRUZUrevivaer\\dump");
  EXPECT_TRUE(IsDirectory(out));
  EXPECT_TRUE(GetLocalAppDataFolder(u"", false, &out));
  EXPECT_EQ(out, u"C:\\Users\\alice\\AppData\\Local\\");

  EXPECT_FALSE(GetAppDataFolder(u"\\Ovapp\\pic\\", false, &out));
  EXPECT_EQ(out, u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp\\pic\\");
  EXPECT_TRUE(GetAppDataFolder(u"\\Ovapp\\pic\\", true, &out));
  EXPECT_TRUE(IsDirectory(u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp\\pic"));

  DeleteFolderTree(u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp");
  EXPECT_EQ(GetOvappDataFolder(false), u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp");
  EXPECT_FALSE(PathExists(u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp"));
  EXPECT_EQ(GetOvappDataFolder(true), u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp");
  EXPECT_TRUE(IsDirectory(u"C:\\Users\\alice\\AppData\\Roaming\\Ovapp"));
}

TEST(PathLongProfile, FoldersLongerThanMaxPathAreNotFound) {
  // C:\Users\<name>\AppData\Local is longer than 260 characters.
  win32::MachineSetup setup;
  setup.user = std::string(240, 'u');
  kxtest::TestMachine machine(setup);
  ASSERT_TRUE(machine.ok());
  std::u16string out = u"sentinel";
  EXPECT_FALSE(GetLocalAppDataFolder(u"x", true, &out));
  EXPECT_FALSE(GetAppDataFolder(u"x", true, &out));
  EXPECT_EQ(GetOvappDataFolder(true), u"");
}

}  // namespace
}  // namespace Kx
