// A silent removal end to end: a machine with the product installed and running, its
// neighbours around it, and uninstall.exe started as a setup program starts it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "tests/support/run_tool.h"
#include "tests/support/test_machine.h"
#include "win32/desktop.h"
#include "win32/machine.h"
#include "win32/unicode.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Kxmachine;
using kxtest::Lines;

constexpr char kSid[] = "S-1-5-21-3623811015-3361044348-30300820-1001";

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kxremoval.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    dir_ = folder_ + "/machine";
  }
  void TearDown() override {
    // End what still runs in the machine before its folder goes.
    for (const std::string& line : Lines(Kxmachine({"ps", "list", dir_}).out))
      Kxmachine({"ps", "kill", dir_, line.substr(0, line.find('\t'))});
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder_, ec); !ec && it != fs::end(it); it.increment(ec))
      if (!it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(folder_, ec);
  }

  void Install(std::vector<std::string> create_args, std::vector<std::string> install_args) {
    create_args.insert(create_args.begin(), {"create", dir_});
    ASSERT_EQ(Kxmachine(create_args).exit_code, 0);
    install_args.insert(install_args.begin(), {"install-product", dir_});
    kxtest::ToolResult r = Kxmachine(install_args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(Kxmachine({"snapshot", dir_, "before"}).exit_code, 0);
  }

  kxtest::ToolResult Uninstall(const std::string& root, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"run", dir_, "--wait-tree"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", root + "\\1.4.1.7061\\uninstall.exe", "--s"});
    return Kxmachine(args);
  }

  std::vector<std::string> Diff() { return Lines(Kxmachine({"diff", dir_, "before"}).out); }
  std::vector<std::string> Pending() { return Lines(Kxmachine({"pending", dir_}).out); }
  std::string Ps() { return Kxmachine({"ps", "list", dir_}).out; }
  std::string Host(const std::string& windows) {
    std::string rel = windows.substr(3);
    for (char& c : rel)
      if (c == '\\') c = '/';
    return dir_ + "/drive_c/" + rel;
  }
  std::vector<Json::Value> ProgramCalls(const std::string& image) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : win32::ReadDesktopLog(dir_))
      if (e["kind"].asString() == "program" && e["image"].asString() == image) out.push_back(e);
    return out;
  }

  static bool AnyMatch(const std::vector<std::regex>& patterns, const std::string& line) {
    for (const std::regex& p : patterns)
      if (std::regex_match(line, p)) return true;
    return false;
  }

  std::string folder_, dir_;
};

std::string Quote(const std::string& text) {  // for a regular expression
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

TEST_F(RemovalTest, SilentRemovalRemovesTheProductAndNothingElse) {
  Install({}, {"--running", "--neighbours", "--no-display-name"});
  const std::string root = "C:\\Program Files (x86)\\OrvaneRUZUrevivaer";
  const std::string hku = "HKEY_USERS\\" + std::string(kSid);
  const std::string temp = "C:\\Users\\alice\\AppData\\Local\\Temp\\";

  kxtest::ToolResult r = Uninstall(root);
  EXPECT_EQ(r.exit_code, 1) << r.err;

  // What may go, and what may appear.
  const std::string associations = Quote("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\SystemFileAssociations\\");
  const std::string verb_key = associations + "\\.(png|jpg|doc|docx|pptx|ppt|xls|xlsx)\\\\Shell\\\\转换为PDF|" +
                               associations +
                               "\\.pdf\\\\Shell\\\\(转换为Word|转换为Excel|转换为PPT|PDF合并|PDF拆分|PDF加密|PDF解密|转换为图片)";
  const std::vector<std::regex> removable = {
      std::regex("- (file|dir) " + Quote(root) + "(\\\\.*)?"),
      std::regex("- (file|dir) " + Quote("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\OrvanePDF转换器") + "(\\\\.*)?"),
      std::regex("- file " + Quote("C:\\Users\\Public\\Desktop\\OrvanePDF转换器.lnk")),
      std::regex("- (file|dir) " + Quote("C:\\Users\\alice\\AppData\\Local\\OrvaneRUZUrevivaer") + "(\\\\.*)?"),
      std::regex("- (file|dir) " + Quote("C:\\Users\\alice\\AppData\\Roaming\\OrvaneRUZUrevivaer") + "(\\\\.*)?"),
      std::regex("- (key|value) " + Quote("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneRUZUrevivaer") + "([\\\\ ].*)?"),
      std::regex("- (key|value) (" + verb_key + ")([\\\\ ].*)?"),
      std::regex("- (key|value) " + Quote("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvaneRUZUrevivaerSvc") + "([\\\\ ].*)?"),
      std::regex("- (key|value) " + Quote(hku + "\\Software\\ovapp\\OrvaneRUZUrevivaer") + "([\\\\ ].*)?"),
      // The add-ins' registrations, as regsvr32 /u removes them.
      std::regex("- (key|value) HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\(WOW6432Node\\\\)?Classes\\\\(CLSID\\\\\\{[-0-9A-F]+\\}|VIRudedaDezuv(_x64)?\\.Connect)([\\\\ ].*)?"),
      std::regex("- (key|value) " + Quote(hku) + "\\\\Software\\\\Microsoft\\\\Office\\\\(Word|Excel|PowerPoint)\\\\Addins\\\\VIRudedaDezuv(_x64)?\\.Connect([\\\\ ].*)?"),
  };
  const std::vector<std::regex> added = {
      std::regex("\\+ file " + Quote(temp) + "[0-9]+uninstall\\.exe"),
      std::regex("\\+ file " + Quote(temp) + "VIRudedaDezuv(_x64)?\\.dll[0-9]{14}"),
      std::regex("\\+ value " + Quote(hku + "\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility Assistant\\Persisted ") + Quote(temp) + "[0-9]+uninstall\\.exe +REG_DWORD +0x1"),
      std::regex("\\+ value " + Quote("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager PendingFileRenameOperations") + " .*"),
      // The identity value, stored by the removal record when the machine had none.
      std::regex("\\+ value " + Quote(hku + "\\Software\\ovapp uuid") + " +REG_NONE +[0-9A-F]+"),
  };
  std::vector<std::string> diff = Diff();
  std::set<std::string> lines(diff.begin(), diff.end());
  for (const std::string& line : diff)
    EXPECT_TRUE(AnyMatch(removable, line) || AnyMatch(added, line)) << "unexpected change: " << line;

  // Everything the product had is gone.
  for (const std::string& gone : std::vector<std::string>{
           "- dir " + root,
           "- dir C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\OrvanePDF转换器",
           "- file C:\\Users\\Public\\Desktop\\OrvanePDF转换器.lnk",
           "- dir C:\\Users\\alice\\AppData\\Local\\OrvaneRUZUrevivaer",
           "- dir C:\\Users\\alice\\AppData\\Roaming\\OrvaneRUZUrevivaer",
           "- key HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneRUZUrevivaer",
           "- key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvaneRUZUrevivaerSvc",
           "- key " + hku + "\\Software\\ovapp\\OrvaneRUZUrevivaer",
       })
    EXPECT_TRUE(lines.count(gone)) << "still there: " << gone;
  int verbs = 0;
  for (const std::string& line : diff)
    if (line.rfind("- key HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\SystemFileAssociations\\", 0) == 0 &&
        line.find("\\Shell\\") != std::string::npos && line.find("\\command") == std::string::npos)
      ++verbs;
  EXPECT_EQ(verbs, 16);
  EXPECT_EQ(std::count_if(diff.begin(), diff.end(),
                          [](const std::string& l) { return l[0] == '+' && l.find(" uuid ") == std::string::npos; }),
            5);

  // The programs were ended; Office, which held the 64-bit add-in, still runs.
  std::string ps = Ps();
  for (const char* program : {"OrvaneRUZUrevivaer.exe", "ConvertCore.exe", "VAVADIzororaDadedor.exe",
                              "RUZUrevivaCrashHelper.exe"})
    EXPECT_EQ(ps.find(program), std::string::npos) << program;
  EXPECT_NE(ps.find("WINWORD.EXE"), std::string::npos);
  // Both add-ins were unregistered with "/u -s" and the quoted path.
  std::vector<Json::Value> regsvr = ProgramCalls("regsvr32.exe");
  ASSERT_EQ(regsvr.size(), 2u);
  EXPECT_NE(regsvr[0]["command_line"].asString().find("/u -s \"" + root + "\\1.4.1.7061\\VIRudedaDezuv.dll\""),
            std::string::npos);

  // Add-ins and the copy are listed for deletion at the next restart.
  std::vector<std::string> pending = Pending();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_TRUE(std::regex_match(pending[0], std::regex("delete " + Quote(temp) + "VIRudedaDezuv\\.dll[0-9]{14}")));
  EXPECT_TRUE(std::regex_match(pending[1], std::regex("delete " + Quote(temp) + "VIRudedaDezuv_x64\\.dll[0-9]{14}")));
  EXPECT_TRUE(std::regex_match(pending[2], std::regex("delete " + Quote(temp) + "[0-9]+uninstall\\.exe")));

  // After a restart they are gone too.
  ASSERT_EQ(Kxmachine({"reboot", dir_}).exit_code, 0);
  EXPECT_TRUE(Pending().empty());
  for (const std::string& line : Diff())
    EXPECT_EQ(line.rfind("+ file", 0), std::string::npos) << line;
}

TEST_F(RemovalTest, ThirtyTwoBitMachineHandlesOnlyTheThirtyTwoBitAddin) {
  Install({"--arch", "x86"}, {"--no-display-name"});
  EXPECT_EQ(Uninstall("C:\\Program Files\\OrvaneRUZUrevivaer").exit_code, 1);
  std::vector<Json::Value> regsvr = ProgramCalls("regsvr32.exe");
  ASSERT_EQ(regsvr.size(), 1u);
  EXPECT_NE(regsvr[0]["command_line"].asString().find("VIRudedaDezuv.dll\""), std::string::npos);
  std::vector<std::string> pending = Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_NE(pending[0].find("VIRudedaDezuv.dll"), std::string::npos);
  EXPECT_FALSE(fs::exists(Host("C:\\Program Files\\OrvaneRUZUrevivaer")));
}

TEST_F(RemovalTest, RefusedElevationStillMovesTheAddinsAway) {
  Install({}, {"--no-display-name"});
  // An administrator's console starts the uninstaller; the prompt for regsvr32 is refused.
  std::string json = kxtest::ReadHostFile(dir_ + "/machine.json");
  json.replace(json.find("\"accept\""), 8, "\"refuse\"");
  ASSERT_TRUE(kxtest::WriteHostFile(dir_ + "/machine.json", json));
  EXPECT_EQ(Uninstall("C:\\Program Files (x86)\\OrvaneRUZUrevivaer", {"--elevated"}).exit_code, 1);
  EXPECT_TRUE(ProgramCalls("regsvr32.exe").empty());
  std::vector<std::string> pending = Pending();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_NE(pending[0].find("VIRudedaDezuv.dll"), std::string::npos);
  EXPECT_NE(pending[1].find("VIRudedaDezuv_x64.dll"), std::string::npos);
}

TEST_F(RemovalTest, JunctionInTheInstallRootLeavesItsTargetAlone) {
  Install({}, {"--no-display-name"});
  std::string documents = Host("C:\\Users\\alice\\Documents");
  ASSERT_TRUE(kxtest::WriteHostFile(documents + "/thesis.docx", "years of work"));
  ASSERT_TRUE(kxtest::WriteHostFile(documents + "/notes/todo.txt", "more"));
  std::string root = Host("C:\\Program Files (x86)\\OrvaneRUZUrevivaer");
  ASSERT_EQ(::symlink(documents.c_str(), (root + "/1.4.1.7061/UserDocs").c_str()), 0);
  EXPECT_EQ(Uninstall("C:\\Program Files (x86)\\OrvaneRUZUrevivaer").exit_code, 1);
  EXPECT_EQ(kxtest::ReadHostFile(documents + "/thesis.docx"), "years of work");
  EXPECT_TRUE(fs::exists(documents + "/notes/todo.txt"));
  EXPECT_FALSE(fs::exists(root));
}

TEST_F(RemovalTest, InstallRootThatDoesNotNameTheProductStays) {
  Install({}, {"--no-display-name"});
  std::string shared = Host("C:\\Program Files (x86)\\Common Files\\Orvane");
  ASSERT_TRUE(kxtest::WriteHostFile(shared + "/shared.dll", "x"));
  for (const char* root : {"C:\\Program Files (x86)\\Common Files\\Orvane",
                           "C:\\Program Files (x86)\\Common Files\\OrvaneRUZUrevivaer\\..\\Orvane"}) {
    ASSERT_EQ(Kxmachine({"snapshot", dir_, "before"}).exit_code, 0);
    std::string reg = std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\") + kSid +
                      "\\Software\\ovapp\\OrvaneRUZUrevivaer]\r\n\"installroot\"=\"" +
                      std::regex_replace(root, std::regex(R"(\\)"), R"(\\)") + "\"\r\n" +
                      "\"installpath\"=\"C:\\\\Program Files (x86)\\\\OrvaneRUZUrevivaer\\\\1.4.1.7061\"\r\n";
    ASSERT_TRUE(kxtest::WriteHostFile(folder_ + "/root.reg", reg));
    ASSERT_EQ(Kxmachine({"reg", "import", dir_, folder_ + "/root.reg"}).exit_code, 0);
    Uninstall("C:\\Program Files (x86)\\OrvaneRUZUrevivaer");
    EXPECT_TRUE(fs::exists(shared + "/shared.dll")) << root;
  }
}

}  // namespace
