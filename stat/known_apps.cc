#include "stat/known_apps.h"

#include <string>

#include "base/sealed.h"
#include "base/strings.h"
#include "win32/registry.h"

namespace Kx {
namespace {

constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Sealed uninstall-entry names of other applications; there is no key 7.
constexpr KnownApp kKnownApps[] = {
    {1, u"hrh1fJZkIjnWYRWEPQj72Oym61NyVg1oR7CkBht/J9Y="},
    {2, u"iP856ZrgJ3N2z0BROSinjlI7TcjUGYKGNt1dg9SsmEo="},
    {3, u"oybcjeueSvdMFsyUeFCcPPKRuKdz++k8RhE5/N3heeo="},
    {4, u"7NVCbv1KFLs2Hl7kF3I5FzrfOtEcxMwOdgIs8mD7XmU="},
    {5, u"Y7R+mcffx8YbxbWjg+K6uO2fDjLU+WXdeQ8wNi9Kqvk="},
    {6, u"OFt8jCNSXMrHTS4qJg9zk6EX+6Q8VfFL6gODr+LCXMg="},
    {8, u"CPWd63+PkTbdd96MFf6qTFAny2aKZbFFZdx1gXGZ/b4="},
    {9, u"pCXtlKWh2OYbTzMZkhF/3w=="},
    {10, u"w8L2Y8ZWABLGvt1Ga5tKeHfUMbG6XUzsA4Dz7MfT44U="},
};

// The state an open attempt's result gives.
int32_t StateOf(win32::LSTATUS status) {
  if (status == win32::ERROR_SUCCESS) return kKnownAppPresent;
  return status == win32::ERROR_FILE_NOT_FOUND ? kKnownAppAbsent : kKnownAppUndetermined;
}

// Opens the entry in one view and closes it at once.
win32::LSTATUS OpenEntry(const std::u16string& path, win32::REGSAM view) {
  win32::HKEY key = nullptr;
  win32::LSTATUS status = win32::RegOpenKeyExW(win32::HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                               win32::KEY_READ | view, &key);
  if (status == win32::ERROR_SUCCESS && key) win32::RegCloseKey(key);
  return status;
}

}  // namespace

std::span<const KnownApp> KnownAppTable() { return kKnownApps; }

bool CheckKnownApp(int32_t key, int32_t* state) {
  int32_t ignored = kKnownAppUndetermined;
  if (!state) state = &ignored;
  *state = kKnownAppUndetermined;
  const KnownApp* entry = nullptr;
  for (const KnownApp& app : kKnownApps)
    if (app.key == key) entry = &app;
  if (!entry) return false;
  const std::string name = Unseal(WideToAnsi(entry->sealed_name));
  if (name.empty()) return false;

  const std::u16string path = kUninstallKey + AnsiToWide(name);
  *state = StateOf(OpenEntry(path, win32::KEY_WOW64_64KEY));
  if (*state != kKnownAppPresent) *state = StateOf(OpenEntry(path, win32::KEY_WOW64_32KEY));
  return true;
}

}  // namespace Kx
