// The uninstaller's launch: restart from the temporary folder, single instance, the
// silent pre-checks, and running in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "base/install_record.h"
#include "base/registry.h"
#include "tests/support/run_tool.h"
#include "tests/support/test_machine.h"
#include "win32/desktop.h"
#include "win32/handles.h"
#include "win32/pending.h"
#include "win32/sync.h"
#include "win32/unicode.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Kxmachine;

constexpr char16_t kInstalled[] = u"C:\\Program Files (x86)\\OrvaneRUZUrevivaer\\1.4.1.7061\\uninstall.exe";
constexpr char kInstalledArg[] = "C:\\Program Files (x86)\\OrvaneRUZUrevivaer\\1.4.1.7061\\uninstall.exe";
constexpr char16_t kTemp[] = u"C:\\Users\\alice\\AppData\\Local\\Temp";
constexpr char16_t kUninstallKey[] =
    u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneRUZUrevivaer";

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    std::string target = machine_.Host(kInstalled);
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(kxtest::BinDir() + "/uninstall.exe", target);
  }

  kxtest::ToolResult Run(std::vector<std::string> args) {
    std::vector<std::string> all = {"run", machine_.root(), "--wait-tree", "--", kInstalledArg};
    all.insert(all.end(), args.begin(), args.end());
    return Kxmachine(all);
  }

  std::vector<Json::Value> Log(const std::string& kind) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : win32::ReadDesktopLog(machine_.root()))
      if (e["kind"].asString() == kind) out.push_back(e);
    return out;
  }

  // Copies in the temporary folder: "<seconds>uninstall.exe".
  std::vector<std::string> TempCopies() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(machine_.Host(kTemp))) {
      std::string n = e.path().filename().string();
      if (n.size() > 13 && n.substr(n.size() - 13) == "uninstall.exe") names.push_back(n);
    }
    return names;
  }

  kxtest::TestMachine machine_;
};

TEST_F(LaunchTest, RestartsFromTheTemporaryFolder) {
  struct Case {
    std::vector<std::string> args;
    std::string parameters;  // what the copy was started with
  };
  const Case cases[] = {
      {{}, " -run_in_temp"},
      {{"--s"}, "--s -run_in_temp"},
  };
  for (const Case& c : cases) {
    auto before = std::chrono::system_clock::now();
    kxtest::ToolResult r = Run(c.args);
    // The first process ends with 1 after starting the copy.
    EXPECT_EQ(r.exit_code, 1) << r.err;
    std::vector<Json::Value> starts = Log("shell_execute");
    ASSERT_FALSE(starts.empty());
    const Json::Value& last = starts.back();
    EXPECT_EQ(last["verb"].asString(), "open");
    EXPECT_EQ(last["parameters"].asString(), c.parameters);
    EXPECT_EQ(last["directory"].asString(), win32::ToUtf8(kTemp) + "\\");
    EXPECT_TRUE(last["ok"].asBool());
    // The copy is named by the time in seconds followed by "uninstall.exe".
    std::string file = last["file"].asString();
    std::string name = file.substr(file.rfind('\\') + 1);
    long seconds = std::stol(name.substr(0, name.size() - 13));
    long now = std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch()).count();
    EXPECT_LE(std::abs(seconds - now), 5) << name;
    EXPECT_TRUE(fs::exists(machine_.Host(win32::FromUtf8(file))));
  }
}

TEST_F(LaunchTest, SecondInstanceIsRefusedWhileTheMutexIsHeld) {
  win32::HANDLE mutex = win32::CreateMutexW(nullptr, win32::TRUE, u"7D4E2A61-93C8-4B0F-A5E2-1F60B8C93D47");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(win32::GetLastError(), win32::ERROR_SUCCESS);

  EXPECT_EQ(Run({"-run_in_temp"}).exit_code, 0);
  std::vector<Json::Value> boxes = Log("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]["text"].asString(), "OrvanePDF转换器已经有安装程序正在运行，请稍后重试！");
  EXPECT_EQ(boxes[0]["caption"].asString(), "卸载提示");
  EXPECT_FALSE(boxes[0]["owned"].asBool());

  EXPECT_EQ(Run({"--s", "-run_in_temp"}).exit_code, 0);
  EXPECT_EQ(Log("message_box").size(), 1u);  // silent mode shows nothing
  win32::CloseHandle(mutex);

  // Once released, the next run takes the mutex and goes on.
  EXPECT_EQ(Run({"-run_in_temp"}).exit_code, 1);
  EXPECT_EQ(Log("message_box").size(), 1u);
}

TEST_F(LaunchTest, SilentRunStopsWhileTheUninstallEntryHasItsDisplayName) {
  ASSERT_TRUE(Kx::RegWriteText(win32::HKEY_LOCAL_MACHINE, kUninstallKey, u"DisplayName", u"OrvanePDF转换器",
                               Kx::kRegistryView64));
  ASSERT_TRUE(Kx::WriteInstallValue(u"OrvaneRUZUrevivaer", u"sz", u"OrvaneOCR,OrvaneEdit,OrvaneScan"));

  kxtest::ToolResult r = Run({"--s", "-pproduct=OrvaneEdit"});
  EXPECT_EQ(r.exit_code, 0);
  std::vector<Json::Value> debug = Log("debug");
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0]["text"].asString(), "DisplayName不存在");
  std::u16string list;
  ASSERT_TRUE(Kx::ReadInstallValue(u"OrvaneRUZUrevivaer", u"sz", &list));
  EXPECT_EQ(list, u"OrvaneOCR,OrvaneScan");
  EXPECT_TRUE(Log("shell_execute").empty());  // no copy was started
  EXPECT_TRUE(TempCopies().empty());
}

TEST_F(LaunchTest, SilentRunStopsWhileAnotherListedProductIsInstalled) {
  std::u16string other = u"C:\\Program Files (x86)\\OrvaneOCR";
  ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(other + u"\\ocr.exe"), "MZ"));
  ASSERT_TRUE(Kx::WriteInstallValue(u"OrvaneOCR", u"installpath", other));
  ASSERT_TRUE(Kx::WriteInstallValue(u"OrvaneRUZUrevivaer", u"sz", u"OrvaneGone,OrvaneOCR"));

  EXPECT_EQ(Run({"--s"}).exit_code, 0);
  EXPECT_TRUE(TempCopies().empty());
  EXPECT_TRUE(fs::exists(machine_.Host(kInstalled)));
}

TEST_F(LaunchTest, RunsInPlaceWhenTheTemporaryFolderIsUnwritable) {
  Json::Value deny(Json::arrayValue);
  deny.append(win32::ToUtf8(kTemp));
  machine_.SetFact("deny_write", deny);

  EXPECT_EQ(Run({"--s"}).exit_code, 1);
  EXPECT_TRUE(TempCopies().empty());
  EXPECT_TRUE(Log("shell_execute").empty());
  // The file scheduled for deletion is the installed uninstall.exe itself.
  std::vector<win32::PendingOperation> pending = win32::ReadPendingOperations();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].source, kInstalled);
  EXPECT_TRUE(pending[0].target.empty());
}

TEST_F(LaunchTest, NeverWritesThroughALinkAtTheCopysName) {
  // Someone without rights prepared links at the names the next seconds would give.
  std::string victim = machine_.Host(u"C:\\Windows\\System32\\drivers\\etc\\hosts");
  ASSERT_TRUE(kxtest::WriteHostFile(victim, "127.0.0.1 localhost\n"));
  long now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  std::string temp = machine_.Host(kTemp);
  for (long s = now; s < now + 10; ++s)
    ASSERT_EQ(::symlink(victim.c_str(), (temp + "/" + std::to_string(s) + "uninstall.exe").c_str()), 0);

  EXPECT_EQ(Run({"--s"}).exit_code, 1);
  EXPECT_EQ(kxtest::ReadHostFile(victim), "127.0.0.1 localhost\n");
  // The copy that ran is a file of its own, not a link.
  std::vector<Json::Value> starts = Log("shell_execute");
  ASSERT_EQ(starts.size(), 1u);
  std::string copy = machine_.Host(win32::FromUtf8(starts[0]["file"].asString()));
  struct stat st;
  ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
