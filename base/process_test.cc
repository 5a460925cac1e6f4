#include "base/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/run_tool.h"
#include "tests/support/test_machine.h"
#include "win32/desktop.h"
#include "win32/process_spawn.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/unicode.h"

namespace {

namespace fs = std::filesystem;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    Json::Value users(Json::arrayValue);
    for (const char* name : {"alice", "bob"}) {
      Json::Value u;
      u["name"] = name;
      users.append(u);
    }
    machine_.SetFact("users", users);
  }

  std::u16string Place(const std::u16string& windows_path) {
    std::string host = machine_.Host(windows_path);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(kxtest::BinDir() + "/kxgeneric.exe", host, fs::copy_options::overwrite_existing);
    return windows_path;
  }

  // Starts a stand-in as a user of the machine would; returns its id.
  win32::DWORD Launch(const std::u16string& image, const std::string& user = "", bool elevated = false) {
    win32::SpawnRequest request;
    request.image = image;
    request.command_line = win32::QuoteArgument(image);
    request.user = user;
    request.elevated = elevated;
    win32::PROCESS_INFORMATION info{};
    if (!win32::Spawn(request, &info)) return 0;
    win32::CloseHandle(info.hProcess);
    win32::CloseHandle(info.hThread);
    return info.dwProcessId;
  }

  std::vector<Json::Value> Programs() {
    std::vector<Json::Value> out;
    for (const Json::Value& e : win32::ReadDesktopLog(machine_.root()))
      if (e["kind"].asString() == "program") out.push_back(e);
    return out;
  }

  // Waits until `count` stand-ins have logged their start.
  bool WaitForPrograms(size_t count) {
    for (int i = 0; i < 1000 && Programs().size() < count; ++i) ::usleep(10000);
    return Programs().size() >= count;
  }

  kxtest::TestMachine machine_;
};

TEST_F(ProcessTest, NamesMatchWholeAndWithoutCase) {
  win32::DWORD id = Launch(Place(u"C:\\Apps\\ConvertCore.exe"));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(Kx::FindProcessIdByName(u"convertcore.EXE"), id);
  EXPECT_TRUE(Kx::IsProcessRunning(u"CONVERTCORE.exe"));
  EXPECT_FALSE(Kx::IsProcessRunning(u"ConvertCore"));  // a prefix is not a match
  EXPECT_FALSE(Kx::IsProcessRunning(u"Core.exe"));
  EXPECT_EQ(Kx::FindProcessIdByName(u"nothing.exe"), 0u);
  EXPECT_FALSE(Kx::TerminateProcessByName(u"nothing.exe"));
  Kx::TerminateProcessByName(u"ConvertCore.exe");
}

TEST_F(ProcessTest, OnlyTheFirstOfTwoSameNamedProcessesIsEnded) {
  std::u16string image = Place(u"C:\\Apps\\OrvaneRUZUrevivaer.exe");
  win32::DWORD first = Launch(image), second = Launch(image);
  ASSERT_TRUE(first && second);
  std::optional<win32::proctable::Record> record = win32::proctable::Get(first);
  ASSERT_TRUE(record);
  EXPECT_EQ(Kx::FindProcessIdByName(u"OrvaneRUZUrevivaer.exe"), first);
  EXPECT_TRUE(Kx::TerminateProcessByName(u"OrvaneRUZUrevivaer.exe"));
  // The host process is really gone, with exit code 1 recorded.
  for (int i = 0; i < 500 && win32::proctable::HostStartTime(record->host_pid) != 0; ++i) ::usleep(10000);
  EXPECT_EQ(win32::proctable::HostStartTime(record->host_pid), 0);
  EXPECT_EQ(win32::proctable::Get(first)->exit_code, std::optional<win32::DWORD>(1));
  EXPECT_TRUE(Kx::IsProcessRunning(u"OrvaneRUZUrevivaer.exe"));
  EXPECT_EQ(Kx::FindProcessIdByName(u"OrvaneRUZUrevivaer.exe"), second);
  EXPECT_TRUE(Kx::TerminateProcessByName(u"OrvaneRUZUrevivaer.exe"));
}

TEST_F(ProcessTest, StartProcessQuotesThePathOnlyWithArguments) {
  std::u16string image = Place(u"C:\\Apps\\Tool.exe");
  ASSERT_TRUE(Kx::StartProcess(image, u"--exit-after 0", true, 0));
  ASSERT_TRUE(Kx::StartProcess(u"C:\\Apps\\Tool.exe", nullptr, false, 0));
  ASSERT_TRUE(WaitForPrograms(2));
  // A positive time-out that passes still reports the start.
  ASSERT_TRUE(Kx::StartProcess(image, u"--exit-after 3000", true, 50));
  ASSERT_TRUE(WaitForPrograms(3));
  std::vector<Json::Value> programs = Programs();
  EXPECT_EQ(programs[0]["command_line"].asString(), "\"C:\\Apps\\Tool.exe\" --exit-after 0");
  EXPECT_EQ(programs[1]["command_line"].asString(), "C:\\Apps\\Tool.exe");
  EXPECT_TRUE(Kx::IsProcessRunning(u"Tool.exe"));
  EXPECT_FALSE(Kx::StartProcess(u"C:\\Apps\\Missing.exe", nullptr, false, 0));
  Kx::TerminateProcessByName(u"Tool.exe");
}

TEST_F(ProcessTest, StartsAsTheDesktopUserWithExactlyTheCommandLine) {
  std::u16string product = Place(u"C:\\Apps\\OrvaneRUZUrevivaer.exe");
  EXPECT_FALSE(Kx::StartProcessAsShellUser(product, u"--from=4"));  // no shell yet
  ASSERT_NE(Launch(Place(u"C:\\Windows\\explorer.exe"), "bob"), 0u);
  ASSERT_TRUE(WaitForPrograms(1));

  ASSERT_TRUE(Kx::StartProcessAsShellUser(product, u"--from=4"));
  ASSERT_TRUE(WaitForPrograms(2));
  EXPECT_EQ(Programs()[1]["command_line"].asString(), "--from=4");
  win32::DWORD id = Kx::FindProcessIdByName(u"OrvaneRUZUrevivaer.exe");
  std::optional<win32::proctable::Record> record = win32::proctable::Get(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->user, "bob");
  EXPECT_FALSE(record->elevated);
  Kx::TerminateProcessByName(u"OrvaneRUZUrevivaer.exe");
  Kx::TerminateProcessByName(u"explorer.exe");
}

TEST(ProcessMissingExport, StartAsShellUserFailsWithoutCreateProcessWithToken) {
  // The entry point is looked up once per process: check it in a process of its own.
  if (!std::getenv("KX_FRESH_PROCESS")) {
    kxtest::ToolResult r = kxtest::RunProgram(
        "/proc/self/exe", {"--gtest_filter=ProcessMissingExport.*"}, {"KX_FRESH_PROCESS=1"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    return;
  }
  kxtest::TestMachine machine;
  Json::Value missing(Json::arrayValue);
  missing.append("advapi32.dll!CreateProcessWithTokenW");
  machine.SetFact("missing_exports", missing);
  std::string host = machine.Host(u"C:\\Windows\\explorer.exe");
  fs::copy_file(kxtest::BinDir() + "/kxgeneric.exe", host);
  fs::copy_file(kxtest::BinDir() + "/kxgeneric.exe", machine.Host(u"C:\\Windows\\product.exe"));
  win32::SpawnRequest request;
  request.image = u"C:\\Windows\\explorer.exe";
  request.command_line = request.image;
  win32::PROCESS_INFORMATION info{};
  ASSERT_TRUE(win32::Spawn(request, &info));
  EXPECT_FALSE(Kx::StartProcessAsShellUser(u"C:\\Windows\\product.exe", u"--from=4"));
  EXPECT_FALSE(Kx::IsProcessRunning(u"product.exe"));
  win32::TerminateProcess(info.hProcess, 1);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
}

TEST_F(ProcessTest, CurrentProcessNameKeepsItsCase) {
  std::u16string name = Kx::GetCurrentProcessName();
  EXPECT_EQ(name, u"base_tests");
}

}  // namespace
