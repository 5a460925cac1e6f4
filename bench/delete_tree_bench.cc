// DeleteFolderTree against `rm -rf` on the same tree, measured in one run. Prints the
// time ratio at two sizes, so that both the cost against the reference and the growth
// with the tree's size show.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/path.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

void MakeTree(const std::string& root, int files) {
  const int per_folder = 100;
  for (int i = 0; i < files; ++i) {
    std::string dir = root + "/sub" + std::to_string(i / per_folder) + "/deeper";
    if (i % per_folder == 0) fs::create_directories(dir);
    std::ofstream(dir + "/file" + std::to_string(i) + ".dat") << "content " << i;
    if (i % 10 == 0) ::chmod((dir + "/file" + std::to_string(i) + ".dat").c_str(), 0444);
  }
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  kxtest::TestMachine machine;
  if (!machine.ok()) {
    std::fprintf(stderr, "cannot make a machine\n");
    return 1;
  }
  std::printf("%-8s %12s %12s %8s\n", "files", "tree (s)", "rm -rf (s)", "ratio");
  for (int files : {2500, 10000}) {
    std::u16string windows = u"C:\\Bench\\Tree";
    std::string host = machine.Host(windows);
    std::string reference = machine.root() + "/../reference";
    MakeTree(host, files);
    MakeTree(reference, files);

    auto start = std::chrono::steady_clock::now();
    Kx::DeleteFolderTree(windows);
    double tree = Seconds(start);
    if (fs::exists(host)) {
      std::fprintf(stderr, "DeleteFolderTree left files behind\n");
      return 1;
    }
    start = std::chrono::steady_clock::now();
    if (std::system(("rm -rf '" + reference + "'").c_str()) != 0) return 1;
    double rm = Seconds(start);
    double ratio = tree / rm;
    std::printf("%-8d %12.3f %12.3f %8.2f\n", files, tree, rm, ratio);
  }
  return 0;
}
