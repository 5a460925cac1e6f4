// Shared parts of the machine tool's verbs.
#pragma once

#include <string>
#include <vector>

namespace kxmachine {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

struct Verb {
  const char* name;
  const char* usage;   // the arguments after the verb
  const char* help;    // what it does
  int (*run)(const std::vector<std::string>& args);
};

const std::vector<Verb>& Verbs();

// Opens DIR as the machine of this process, as a tool working from outside.
bool OpenMachine(const std::string& dir);
// Prints "kxmachine: <message>" to stderr and returns kFailure.
int Fail(const std::string& message);
int Usage(const char* verb);
// The folder of this program, where the stand-ins are built too.
std::string ProgramDir();

int VerbCreate(const std::vector<std::string>& args);
int VerbRun(const std::vector<std::string>& args);
int VerbReg(const std::vector<std::string>& args);
int VerbPs(const std::vector<std::string>& args);
int VerbServices(const std::vector<std::string>& args);
int VerbPending(const std::vector<std::string>& args);
int VerbReboot(const std::vector<std::string>& args);
int VerbLog(const std::vector<std::string>& args);
int VerbSnapshot(const std::vector<std::string>& args);
int VerbDiff(const std::vector<std::string>& args);
int VerbServe(const std::vector<std::string>& args);
int VerbInstallProduct(const std::vector<std::string>& args);

}  // namespace kxmachine
