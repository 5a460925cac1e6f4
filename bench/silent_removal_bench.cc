// A silent removal of a product of 10,000 files, against `rm -rf` of a copy of the same
// tree in the same run. The removal's time includes its two processes, the statistics
// record (the service is not reachable here, so the transport's time-out shows) and every
// other step; the ratio shows what the whole removal costs over deleting the files alone.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/run_tool.h"

namespace {

namespace fs = std::filesystem;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AddFiles(const std::string& root, int files) {
  for (int i = 0; i < files; ++i) {
    std::string dir = root + "/data/part" + std::to_string(i / 100);
    if (i % 100 == 0) fs::create_directories(dir);
    std::ofstream(dir + "/page" + std::to_string(i) + ".bin") << "page " << i;
  }
}

}  // namespace

int main() {
  char pattern[] = "/tmp/kxbench.XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  std::string folder = pattern, machine = folder + "/machine";
  if (kxtest::Kxmachine({"create", machine}).exit_code != 0 ||
      kxtest::Kxmachine({"install-product", machine, "--no-display-name"}).exit_code != 0) {
    std::fprintf(stderr, "cannot prepare the machine\n");
    return 1;
  }
  std::string root = machine + "/drive_c/Program Files (x86)/OrvaneRUZUrevivaer";
  AddFiles(root, 10000);
  std::string reference = folder + "/reference";
  fs::copy(root, reference, fs::copy_options::recursive);

  auto start = std::chrono::steady_clock::now();
  kxtest::ToolResult r = kxtest::Kxmachine(
      {"run", machine, "--wait-tree", "--",
       "C:\\Program Files (x86)\\OrvaneRUZUrevivaer\\1.4.1.7061\\uninstall.exe", "--s"});
  double removal = Seconds(start);
  if (r.exit_code != 1 || fs::exists(root)) {
    std::fprintf(stderr, "the removal did not complete (exit %d)\n", r.exit_code);
    return 1;
  }
  start = std::chrono::steady_clock::now();
  if (std::system(("rm -rf '" + reference + "'").c_str()) != 0) return 1;
  double rm = Seconds(start);
  std::printf("%-28s %10s %10s %8s\n", "", "removal(s)", "rm -rf(s)", "ratio");
  std::printf("%-28s %10.3f %10.3f %8.2f\n", "silent removal, 10000 files", removal, rm, removal / rm);
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
