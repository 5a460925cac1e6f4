#include "tools/kxmachine/tool.h"

namespace kxmachine {

int VerbInstallProduct(const std::vector<std::string>& args) {
  return Fail("install-product is not available in this build");
}

}  // namespace kxmachine
