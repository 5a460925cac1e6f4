// Registry values as text, and deletion of whole keys.
#pragma once

#include <string>
#include <string_view>

#include "win32/registry.h"

namespace Kx {

// Selects the registry view: 0 the 64-bit view, 1 the 32-bit view.
using RegistryView = uint8_t;
constexpr RegistryView kRegistryView64 = 0;
constexpr RegistryView kRegistryView32 = 1;

// A registry key that closes itself.
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_) win32::RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  win32::HKEY get() const { return key_; }
  win32::HKEY* receive() { return &key_; }

 private:
  win32::HKEY key_ = nullptr;
};

// REG_SZ/REG_EXPAND_SZ up to the first NUL, REG_DWORD/REG_QWORD as unsigned decimal text.
// The text is assigned only on success; values above 10 MiB are not read.
bool RegReadText(win32::HKEY root, std::u16string_view key_path, std::u16string_view value_name,
                 std::u16string* text, RegistryView view);
bool RegWriteText(win32::HKEY root, std::u16string_view key_path, std::u16string_view value_name,
                  std::u16string_view text, RegistryView view);
bool RegDeleteTree(win32::HKEY root, std::u16string_view key_path);

}  // namespace Kx
