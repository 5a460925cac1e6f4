// The uninstaller's command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Kx {

struct UninstallCommandLine {
  int32_t mode = 0;  // 1 silent, 0 windowed
  std::u16string product;
};

// Switches match case-sensitively anywhere in the text, also inside longer words.
UninstallCommandLine ParseUninstallCommandLine(std::u16string_view text);

}  // namespace Kx
