// The machine tool's process verbs, as a person uses them from a shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/run_tool.h"

namespace {

using kxtest::Kxmachine;
using kxtest::Lines;

TEST(MachineToolPs, StartListAndKill) {
  char pattern[] = "/tmp/kxps.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  std::string dir = std::string(pattern) + "/machine";
  ASSERT_EQ(Kxmachine({"create", dir}).exit_code, 0);

  kxtest::ToolResult started = Kxmachine({"ps", "start", dir, "vmtoolsd.exe"});
  ASSERT_EQ(started.exit_code, 0) << started.err;
  std::string first = Lines(started.out).at(0);
  started = Kxmachine({"ps", "start", dir, "--elevated", "--user", "alice", "Helper.exe", "--", "--exit-after", "60000"});
  ASSERT_EQ(started.exit_code, 0) << started.err;
  std::string second = Lines(started.out).at(0);
  EXPECT_EQ(Kxmachine({"ps", "start", dir, "--user", "nobody", "x.exe"}).exit_code, 1);
  EXPECT_EQ(Kxmachine({"ps", "start", dir}).exit_code, 2);

  std::vector<std::string> list = Lines(Kxmachine({"ps", "list", dir}).out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].rfind(first + "\tvmtoolsd.exe\talice\t-\t", 0), 0u) << list[0];
  EXPECT_EQ(list[1].rfind(second + "\tHelper.exe\talice\televated\t", 0), 0u) << list[1];
  EXPECT_NE(list[1].find("--exit-after 60000"), std::string::npos);

  EXPECT_EQ(Kxmachine({"ps", "kill", dir, first}).exit_code, 0);
  EXPECT_EQ(Kxmachine({"ps", "kill", dir, first}).exit_code, 1);  // already gone
  EXPECT_EQ(Kxmachine({"ps", "kill", dir, second}).exit_code, 0);
  for (int i = 0; i < 100 && !Lines(Kxmachine({"ps", "list", dir}).out).empty(); ++i) ::usleep(20000);
  EXPECT_TRUE(Lines(Kxmachine({"ps", "list", dir}).out).empty());

  // Exit codes of the tool: usage 2, failure 1.
  EXPECT_EQ(Kxmachine({"reg", "query", dir, "HKLM\\SOFTWARE\\Nothing"}).exit_code, 1);
  EXPECT_EQ(Kxmachine({"reg", "query", dir, "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       "Missing"}).exit_code, 1);
  EXPECT_EQ(Kxmachine({"reg", "query", dir, "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       "BootExecute"}).exit_code, 0);
  EXPECT_EQ(Kxmachine({"frobnicate"}).exit_code, 2);
  EXPECT_EQ(Kxmachine({"diff", dir, "never-taken"}).exit_code, 1);
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
}

}  // namespace
