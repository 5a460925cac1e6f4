#include "stat/identity.h"

#include <utility>

#include "base/digest.h"
#include "base/registry.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "base/sync.h"
#include "stat/fingerprint.h"
#include "win32/registry.h"

namespace Kx {
namespace {

constexpr char16_t kMakerKey[] = u"SOFTWARE\\ovapp";
constexpr char16_t kUuidValue[] = u"uuid";
// A stored identity is read into 128 bytes, of which 127 are offered, so a value that
// long or longer does not open.
constexpr win32::DWORD kUuidBufferBytes = 128;

// The salt is kept masked so that it never appears in the binary as one text.
constexpr char16_t kSaltMask = 0x5A;
constexpr char16_t kMaskedSalt[] = {
    u'O' ^ kSaltMask, u'v' ^ kSaltMask, u'4' ^ kSaltMask, u'n' ^ kSaltMask,
    u'E' ^ kSaltMask, u'-' ^ kSaltMask, u'7' ^ kSaltMask, u'd' ^ kSaltMask,
};

std::u16string Salt() {
  std::u16string salt;
  for (char16_t c : kMaskedSalt) salt += static_cast<char16_t>(c ^ kSaltMask);
  return salt;
}

struct UuidCache {
  KxCriticalSection lock;
  std::u16string text;
};

// Never destroyed: threads that are not joined may still ask for it while the process ends.
UuidCache& Cache() {
  static UuidCache* cache = new UuidCache;
  return *cache;
}

}  // namespace

std::string MachineUuidSource() {
  return WideToAnsi(GetAdapterAddressText() + GetProcessorIdText() + GetBiosSerialText() + Salt());
}

std::u16string ComputeMachineUuid() {
  UuidCache& cache = Cache();
  KxAutoLock guard(cache.lock);
  if (cache.text.empty()) {
    const std::string source = MachineUuidSource();
    cache.text = Md5Hex(source.data(), source.size());
  }
  return cache.text;
}

void ResetMachineUuidCacheForTesting() {
  UuidCache& cache = Cache();
  KxAutoLock guard(cache.lock);
  cache.text.clear();
}

std::u16string GetInstallUuid() {
  ScopedKey key;
  if (win32::RegCreateKeyExW(win32::HKEY_CURRENT_USER, kMakerKey, 0, nullptr,
                             win32::REG_OPTION_NON_VOLATILE, win32::KEY_ALL_ACCESS, nullptr,
                             key.receive(), nullptr) != win32::ERROR_SUCCESS)
    return ComputeMachineUuid();

  unsigned char buffer[kUuidBufferBytes] = {0};
  win32::DWORD size = kUuidBufferBytes - 1;
  if (win32::RegQueryValueExW(key.get(), kUuidValue, nullptr, nullptr, buffer, &size) ==
      win32::ERROR_SUCCESS) {
    const std::string stored(reinterpret_cast<const char*>(buffer));
    const std::string plain = Unseal(stored);
    if (!plain.empty()) return AnsiToWide(plain);
  }

  std::u16string uuid = ComputeMachineUuid();
  const std::string sealed = Seal(WideToAnsi(uuid));
  win32::RegSetValueExW(key.get(), kUuidValue, 0, win32::REG_NONE,
                        reinterpret_cast<const win32::BYTE*>(sealed.data()),
                        static_cast<win32::DWORD>(sealed.size()));
  return uuid;
}

}  // namespace Kx
