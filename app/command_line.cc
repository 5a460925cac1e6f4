#include "app/command_line.h"

namespace Kx {

UninstallCommandLine ParseUninstallCommandLine(std::u16string_view text) {
  constexpr std::u16string_view kSilent = u"--s";
  constexpr std::u16string_view kProduct = u"-pproduct=";
  UninstallCommandLine parsed;
  if (text.size() >= kSilent.size() && text.find(kSilent) != std::u16string_view::npos)
    parsed.mode = 1;
  size_t at = text.size() >= kProduct.size() ? text.find(kProduct) : std::u16string_view::npos;
  if (at != std::u16string_view::npos) {
    std::u16string_view value = text.substr(at + kProduct.size());
    size_t dash = value.find(u'-');
    // The character before the next switch's dash (normally its blank) goes with it.
    if (dash == std::u16string_view::npos || dash == 0) {
      parsed.product = std::u16string(value);
    } else {
      parsed.product = std::u16string(value.substr(0, dash - 1));
    }
  }
  return parsed;
}

}  // namespace Kx
