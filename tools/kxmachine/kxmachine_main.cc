// kxmachine: the command line of a machine. Exit codes: 0 success, 1 failure, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/kxmachine/tool.h"

namespace {

void PrintOverview() {
  std::printf("usage: kxmachine VERB [ARGS...]   (kxmachine VERB --help for details)\n\nverbs:\n");
  for (const kxmachine::Verb& v : kxmachine::Verbs())
    std::printf("  %-16s %s\n", v.name, v.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    PrintOverview();
    return argc < 2 ? kxmachine::kUsage : kxmachine::kOk;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const kxmachine::Verb& v : kxmachine::Verbs()) {
    if (v.name != std::string(argv[1])) continue;
    for (const std::string& a : args) {
      if (a == "--") break;
      if (a == "--help" || a == "-h") {
        std::printf("usage: kxmachine %s %s\n\n%s\n", v.name, v.usage, v.help);
        return kxmachine::kOk;
      }
    }
    return v.run(args);
  }
  std::fprintf(stderr, "kxmachine: unknown verb %s\n", argv[1]);
  PrintOverview();
  return kxmachine::kUsage;
}
