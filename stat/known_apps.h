// The table of known applications whose uninstall entries the statistics report as
// present: sealed subkey names of "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall".
#pragma once

#include <cstdint>
#include <span>

namespace Kx {

enum KnownAppState : int32_t {
  kKnownAppAbsent = 0,
  kKnownAppPresent = 1,
  kKnownAppUndetermined = 2,
};

struct KnownApp {
  int32_t key;
  const char16_t* sealed_name;
};

// Keys 1 to 6 and 8 to 10, in ascending order.
std::span<const KnownApp> KnownAppTable();

// False, with state 2, when the key is not in the table or its name does not unseal.
// Otherwise true, with state 1 when the entry opens in the 64-bit or the 32-bit view,
// 0 when it is missing, 2 when the registry refused to tell.
bool CheckKnownApp(int32_t key, int32_t* state);

}  // namespace Kx
