#include "win32/processes.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_machine.h"
#include "win32/desktop.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/process_table.h"
#include "win32/shell.h"
#include "win32/toolhelp.h"
#include "win32/unicode.h"

namespace {

namespace fs = std::filesystem;

constexpr char16_t kProgram[] = u"C:\\Program Files\\Tools\\worker.exe";

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Install(kProgram, "kxgeneric.exe")); }

  bool Install(const std::u16string& windows_path, const std::string& built) {
    std::string host = machine_.Host(windows_path);
    fs::create_directories(fs::path(host).parent_path());
    std::error_code ec;
    fs::copy_file(kxtest::BinDir() + "/" + built, host, fs::copy_options::overwrite_existing, ec);
    return !ec;
  }

  // Starts a program of the machine; the handles go to the caller.
  bool Start(std::u16string command_line, win32::PROCESS_INFORMATION* info) {
    win32::STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return win32::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, win32::FALSE, 0,
                                 nullptr, nullptr, &startup, info) != win32::FALSE;
  }

  std::vector<std::string> ProgramLines() {
    std::vector<std::string> lines;
    for (const Json::Value& e : win32::ReadDesktopLog(machine_.root()))
      if (e["kind"].asString() == "program") lines.push_back(e["command_line"].asString());
    return lines;
  }

  kxtest::TestMachine machine_;
};

TEST(CommandLineToArgs, SplitsAsTheRuntimeDoes) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  };
  const Case cases[] = {
      {u"a.exe b c", {u"a.exe", u"b", u"c"}},
      {u"\"C:\\Program Files\\a.exe\" x", {u"C:\\Program Files\\a.exe", u"x"}},
      {u"a \"b c\" d", {u"a", u"b c", u"d"}},
      {u"a \\\\\"b c\\\\\" d", {u"a", u"\\b c\\", u"d"}},  // 2n backslashes then a quote
      {u"a \\\"b", {u"a", u"\"b"}},                        // 2n+1 backslashes: a literal quote
      {u"a b\\c", {u"a", u"b\\c"}},                        // backslashes alone stay
      {u"a \"\"", {u"a", u""}},
      {u"a \"x\"\"y\"", {u"a", u"x\"y"}},
      {u"--from=4", {u"--from=4"}},
  };
  for (const Case& c : cases) EXPECT_EQ(win32::CommandLineToArgs(c.line), c.args) << win32::ToUtf8(c.line);
  for (const std::u16string& arg : {u"plain", u"with blank", u"quote\"inside", u"trailing\\", u""}) {
    std::vector<std::u16string> back = win32::CommandLineToArgs(u"p " + win32::QuoteArgument(arg));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1], arg);
  }
  EXPECT_EQ(win32::CommandLineArguments(u"\"C:\\a b\\u.exe\"  --s -x"), u"--s -x");
  EXPECT_EQ(win32::CommandLineArguments(u"u.exe"), u"");
}

TEST_F(ProcessesTest, ChildSeesItsCommandLineAndReportsItsExitCode) {
  win32::PROCESS_INFORMATION info{};
  std::u16string line = u"\"" + std::u16string(kProgram) + u"\" --exit-after 0 --exit-code 7  two  blanks";
  ASSERT_TRUE(Start(line, &info)) << win32::GetLastError();
  EXPECT_EQ(win32::WaitForSingleObject(info.hProcess, 20000), win32::WAIT_OBJECT_0);
  win32::DWORD code = 0;
  ASSERT_TRUE(win32::GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(ProgramLines(), std::vector<std::string>{win32::ToUtf8(line)});
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
}

TEST_F(ProcessesTest, ProgramsAreFoundAsWindowsFindsThem) {
  ASSERT_TRUE(Install(u"C:\\Windows\\System32\\tool.exe", "kxgeneric.exe"));
  win32::PROCESS_INFORMATION info{};
  // No path and no extension: System32, with ".exe" appended.
  ASSERT_TRUE(Start(u"tool --exit-after 0", &info)) << win32::GetLastError();
  win32::WaitForSingleObject(info.hProcess, 20000);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  // An unquoted path with blanks is tried word by word.
  ASSERT_TRUE(Start(u"C:\\Program Files\\Tools\\worker.exe --exit-after 0", &info));
  win32::WaitForSingleObject(info.hProcess, 20000);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  EXPECT_EQ(ProgramLines().size(), 2u);
  EXPECT_FALSE(Start(u"missing.exe", &info));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_FILE_NOT_FOUND);
  // A file that is not a program does not start.
  ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(u"C:\\Windows\\notes.exe"), "text"));
  EXPECT_FALSE(Start(u"C:\\Windows\\notes.exe", &info));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_BAD_EXE_FORMAT);
}

TEST_F(ProcessesTest, SnapshotListsPseudoProcessesThenLiveOnesInStartOrder) {
  win32::PROCESS_INFORMATION first{}, second{};
  ASSERT_TRUE(Start(u"\"C:\\Program Files\\Tools\\worker.exe\"", &first));
  ASSERT_TRUE(Start(u"\"C:\\Program Files\\Tools\\worker.exe\"", &second));
  win32::HANDLE snapshot = win32::CreateToolhelp32Snapshot(win32::TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, win32::INVALID_HANDLE_VALUE);
  std::vector<std::pair<win32::DWORD, std::u16string>> seen;
  win32::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (bool ok = win32::Process32FirstW(snapshot, &entry); ok; ok = win32::Process32NextW(snapshot, &entry))
    seen.emplace_back(entry.th32ProcessID, entry.szExeFile);
  win32::CloseHandle(snapshot);
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(seen[0], std::make_pair(win32::DWORD{0}, std::u16string(u"[System Process]")));
  EXPECT_EQ(seen[1], std::make_pair(win32::DWORD{4}, std::u16string(u"System")));
  EXPECT_EQ(seen[2].first, win32::GetCurrentProcessId());  // the test entered first
  EXPECT_EQ(seen[3], std::make_pair(first.dwProcessId, std::u16string(u"worker.exe")));
  EXPECT_EQ(seen[4], std::make_pair(second.dwProcessId, std::u16string(u"worker.exe")));

  // Ending a process really ends its host process, with the given exit code.
  ASSERT_TRUE(win32::TerminateProcess(first.hProcess, 1));
  EXPECT_EQ(win32::WaitForSingleObject(first.hProcess, 20000), win32::WAIT_OBJECT_0);
  win32::DWORD code = 0;
  EXPECT_TRUE(win32::GetExitCodeProcess(first.hProcess, &code));
  EXPECT_EQ(code, 1u);
  std::optional<win32::proctable::Record> record = win32::proctable::Get(first.dwProcessId);
  ASSERT_TRUE(record);
  EXPECT_EQ(win32::proctable::HostStartTime(record->host_pid), 0);
  EXPECT_TRUE(win32::GetExitCodeProcess(second.hProcess, &code));
  EXPECT_EQ(code, win32::STILL_ACTIVE);
  win32::TerminateProcess(second.hProcess, 1);
  for (win32::HANDLE h : {first.hProcess, first.hThread, second.hProcess, second.hThread}) win32::CloseHandle(h);
  EXPECT_EQ(win32::OpenProcess(win32::PROCESS_TERMINATE, win32::FALSE, first.dwProcessId), nullptr);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_PARAMETER);
}

TEST_F(ProcessesTest, ImageAndModulesOfALiveProcessAreInUse) {
  std::u16string module = u"C:\\Program Files\\Tools\\addin.dll";
  ASSERT_TRUE(kxtest::WriteHostFile(machine_.Host(module), "module"));
  win32::PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(u"\"C:\\Program Files\\Tools\\worker.exe\" --load \"C:\\Program Files\\Tools\\addin.dll\"", &info));
  // The module is listed once the program has loaded it.
  for (int i = 0; i < 500; ++i) {
    auto r = win32::proctable::Get(info.dwProcessId);
    if (r && !r->modules.empty()) break;
    ::usleep(10000);
  }
  EXPECT_FALSE(win32::DeleteFileW(kProgram));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(win32::DeleteFileW(module.c_str()));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_SHARING_VIOLATION);
  // Within the volume it moves, and stays in use where it went.
  std::u16string moved = u"C:\\Windows\\Temp\\addin.dll.old";
  ASSERT_TRUE(win32::MoveFileW(module.c_str(), moved.c_str())) << win32::GetLastError();
  EXPECT_FALSE(win32::DeleteFileW(moved.c_str()));
  win32::TerminateProcess(info.hProcess, 1);
  win32::WaitForSingleObject(info.hProcess, 20000);
  EXPECT_TRUE(win32::DeleteFileW(moved.c_str())) << win32::GetLastError();
  EXPECT_TRUE(win32::DeleteFileW(kProgram)) << win32::GetLastError();
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
}

TEST(ProcessElevation, AdministratorProgramsNeedElevation) {
  kxtest::TestMachine machine(win32::MachineSetup{}, kxtest::TestProcess{.elevated = false});
  std::u16string admin = u"C:\\Program Files\\uninstall.exe";
  std::string host = machine.Host(admin);
  fs::copy_file(kxtest::BinDir() + "/uninstall.exe", host);
  win32::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  win32::PROCESS_INFORMATION info{};
  std::u16string line = u"\"" + admin + u"\" -run_in_temp --s";
  EXPECT_FALSE(win32::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win32::FALSE, 0, nullptr,
                                     nullptr, &startup, &info));
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_ELEVATION_REQUIRED);

  // The shell asks; a machine that refuses elevation cancels.
  machine.SetFact("elevation", "refuse");
  win32::HINSTANCE r = win32::ShellExecuteW(nullptr, u"runas", admin.c_str(), u"-run_in_temp --s", nullptr,
                                            win32::SW_SHOW);
  EXPECT_LE(reinterpret_cast<intptr_t>(r), 32);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_CANCELLED);
}

}  // namespace
