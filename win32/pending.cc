#include "win32/pending.h"

#include "win32/machine.h"
#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kValueName[] = u"PendingFileRenameOperations";
constexpr char16_t kPrefix[] = u"\\??\\";

// The strings of the value: each NUL-terminated, the list closed by one more NUL. Empty
// strings inside the list are the empty targets of deletions.
std::vector<std::u16string> Strings(const std::string& data) {
  std::u16string units = regstore::UnitsOf(data);
  if (!units.empty() && units.back() == 0) units.pop_back();
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    out.push_back(units.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::u16string StripPrefix(std::u16string s) {
  if (!s.empty() && s[0] == u'!') s.erase(0, 1);
  if (s.rfind(kPrefix, 0) == 0) s.erase(0, 4);
  return s;
}

}  // namespace

bool AppendPendingOperation(const std::u16string& source, const std::u16string& target,
                            bool replace) {
  Machine* m = CurrentMachine();
  if (!m) return false;
  Store* store = m->store();
  Transaction tx(store);
  if (!tx.ok()) return false;
  int64_t key = regstore::CreatePath(store, regstore::kLocalMachine, kSessionManager, nullptr);
  if (!key) return false;
  regstore::Value value;
  std::u16string units;
  if (regstore::GetValue(store, key, kValueName, &value)) {
    units = regstore::UnitsOf(value.data);
    if (!units.empty() && units.back() == 0) units.pop_back();  // the list's closing NUL
  }
  units += kPrefix + source;
  units += u'\0';
  if (!target.empty()) units += (replace ? u"!" : u"") + std::u16string(kPrefix) + target;
  units += u'\0';
  units += u'\0';
  return regstore::SetValue(store, key, kValueName, 7 /* REG_MULTI_SZ */, regstore::BytesOf(units)) &&
         tx.Commit();
}

std::vector<PendingOperation> ReadPendingOperations() {
  std::vector<PendingOperation> out;
  Machine* m = CurrentMachine();
  if (!m) return out;
  Store* store = m->store();
  int64_t key = regstore::FindPath(store, regstore::kLocalMachine, kSessionManager);
  regstore::Value value;
  if (!key || !regstore::GetValue(store, key, kValueName, &value)) return out;
  std::vector<std::u16string> strings = Strings(value.data);
  for (size_t i = 0; i < strings.size(); i += 2) {
    PendingOperation op;
    op.source = StripPrefix(strings[i]);
    if (i + 1 < strings.size()) {
      op.replace = !strings[i + 1].empty() && strings[i + 1][0] == u'!';
      op.target = StripPrefix(strings[i + 1]);
    }
    out.push_back(std::move(op));
  }
  return out;
}

bool ClearPendingOperations() {
  Machine* m = CurrentMachine();
  if (!m) return false;
  Store* store = m->store();
  Transaction tx(store);
  if (!tx.ok()) return false;
  int64_t key = regstore::FindPath(store, regstore::kLocalMachine, kSessionManager);
  if (key) regstore::DeleteValue(store, key, kValueName);
  return tx.Commit();
}

}  // namespace win32
