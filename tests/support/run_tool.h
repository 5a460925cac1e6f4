// Running the built programs (kxmachine, ...) from tests, as a person would from a shell.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

struct ToolResult {
  int exit_code = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs a program of the build folder with arguments and waits for it.
// `env` entries ("NAME=value") are added to this process's environment.
ToolResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {});
inline ToolResult Kxmachine(const std::vector<std::string>& args) { return RunProgram("kxmachine", args); }

// Lines of a text, without the line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace kxtest
