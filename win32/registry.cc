#include "win32/registry.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/processes.h"
#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

using regstore::kLocalMachine;
using regstore::kUsers;

constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE;

// An open key. The path is the physical one below the root, after view redirection; keys
// opened through HKEY_CLASSES_ROOT keep their path below Classes so that further opens
// merge again.
struct KeyObject {
  int64_t id = 0;
  int64_t root = 0;
  std::u16string path;
  REGSAM access = 0;
  REGSAM view = 0;  // KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0 (the process's own)
  bool classes = false;
  std::u16string classes_path;
};

struct KeyTable {
  std::mutex mutex;
  std::unordered_set<KeyObject*> keys;
};

KeyTable& Keys() {
  static KeyTable* table = new KeyTable();
  return *table;
}

HKEY AddKey(std::unique_ptr<KeyObject> key) {
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  KeyObject* raw = key.release();
  t.keys.insert(raw);
  return reinterpret_cast<HKEY>(raw);
}

bool IsPredefined(HKEY key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  return v >= 0x80000000 && v <= 0x80000003;
}

Store* TheStore() {
  Machine* m = CurrentMachine();
  return m ? m->store() : nullptr;
}

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  std::u16string out(a);
  for (const std::u16string& part : regstore::SplitKeyPath(b)) {
    if (!out.empty()) out += u'\\';
    out += part;
  }
  return out;
}

std::u16string UserHivePath() { return FromUtf8(CurrentProcess().sid); }

// Applies the 32-bit view to a path below HKLM on a 64-bit machine.
std::u16string Redirect(int64_t root, const std::u16string& path, REGSAM view) {
  if (root != kLocalMachine) return path;
  Machine* m = CurrentMachine();
  if (!m || !m->Is64Bit()) return path;
  REGSAM effective = view ? view : (CurrentProcess().bits == 32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
  if (effective != KEY_WOW64_32KEY) return path;
  std::vector<std::u16string> parts = regstore::SplitKeyPath(path);
  if (parts.size() < 2 || !EqualsNoCase(parts[0], u"SOFTWARE")) return path;
  if (EqualsNoCase(parts[1], u"WOW6432Node") || EqualsNoCase(parts[1], u"Classes")) return path;
  std::u16string out = parts[0] + u"\\WOW6432Node";
  for (size_t i = 1; i < parts.size(); ++i) out += u"\\" + parts[i];
  return out;
}

bool MayWrite(int64_t root, const std::u16string& path) {
  const ProcessSelf& self = CurrentProcess();
  if (self.offline || self.elevated) return true;
  if (root == kLocalMachine) return false;
  // Below HKEY_USERS a process may write its own hive only.
  std::vector<std::u16string> parts = regstore::SplitKeyPath(path);
  return !parts.empty() && EqualsNoCase(parts[0], FromUtf8(self.sid));
}

// What a handle stands for, before a subkey is added.
struct Base {
  int64_t root = 0;
  std::u16string path;
  int64_t id = 0;  // the key itself; 0 for HKEY_CLASSES_ROOT
  REGSAM access = 0;
  REGSAM view = 0;
  bool classes = false;
  std::u16string classes_path;
};

LSTATUS GetBase(HKEY key, Base* base) {
  if (IsPredefined(key)) {
    base->access = KEY_ALL_ACCESS;
    if (key == HKEY_LOCAL_MACHINE) {
      base->root = kLocalMachine;
      base->id = kLocalMachine;
    } else if (key == HKEY_USERS) {
      base->root = kUsers;
      base->id = kUsers;
    } else if (key == HKEY_CURRENT_USER) {
      base->root = kUsers;
      base->path = UserHivePath();
      Store* store = TheStore();
      base->id = store ? regstore::FindPath(store, kUsers, base->path) : 0;
      if (!base->id) return ERROR_FILE_NOT_FOUND;
    } else {
      base->classes = true;
    }
    return ERROR_SUCCESS;
  }
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  KeyObject* object = reinterpret_cast<KeyObject*>(key);
  if (!key || !t.keys.count(object)) return ERROR_INVALID_HANDLE;
  base->root = object->root;
  base->path = object->path;
  base->id = object->id;
  base->access = object->access;
  base->view = object->view;
  base->classes = object->classes;
  base->classes_path = object->classes_path;
  return ERROR_SUCCESS;
}

struct Target {
  int64_t root = 0;
  std::u16string path;  // physical
  int64_t id = 0;       // 0 when the key does not exist
};

Target Locate(Store* store, int64_t root, const std::u16string& path) {
  Target t{root, path, regstore::FindPath(store, root, path)};
  return t;
}

// Where a subkey of a base lies. For HKEY_CLASSES_ROOT the user's classes win over the
// machine's; a key that exists in neither is placed in the machine's when the process may
// write there, else in the user's.
Target Resolve(Store* store, const Base& base, std::u16string_view sub, REGSAM view) {
  if (base.classes) {
    std::u16string rel = Join(base.classes_path, sub);
    Target user = Locate(store, kUsers, Join(UserHivePath() + u"\\Software\\Classes", rel));
    if (user.id) return user;
    Target machine = Locate(store, kLocalMachine, Join(u"SOFTWARE\\Classes", rel));
    if (machine.id) return machine;
    return MayWrite(kLocalMachine, machine.path) ? machine : user;
  }
  std::u16string logical = Join(base.path, sub);
  std::u16string physical = Redirect(base.root, logical, view ? view : base.view);
  return Locate(store, base.root, physical);
}

LSTATUS OpenOrCreate(HKEY key, LPCWSTR sub_key, REGSAM desired, bool create, PHKEY result,
                     LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Store* store = TheStore();
  if (!store) return ERROR_REGISTRY_IO_FAILED;
  Base base;
  if (LSTATUS s = GetBase(key, &base)) return s;
  if (!base.classes && !regstore::KeyExists(store, base.id)) return ERROR_KEY_DELETED;
  std::u16string sub = sub_key ? std::u16string(sub_key) : std::u16string();
  if (!sub.empty() && sub[0] == u'\\') return ERROR_BAD_PATHNAME;
  REGSAM view = desired & KEY_WOW64_RES;
  Target target = Resolve(store, base, sub, view);
  bool created = false;
  if (!target.id) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (!(base.access & KEY_CREATE_SUB_KEY) || !MayWrite(target.root, target.path))
      return ERROR_ACCESS_DENIED;
    Transaction tx(store);
    if (!tx.ok()) return ERROR_REGISTRY_IO_FAILED;
    target.id = regstore::CreatePath(store, target.root, target.path, &created);
    if (!target.id || !tx.Commit()) return ERROR_REGISTRY_IO_FAILED;
  }
  REGSAM access = desired & ~KEY_WOW64_RES;
  if (access & MAXIMUM_ALLOWED)
    access = MayWrite(target.root, target.path) ? KEY_ALL_ACCESS : KEY_READ;
  if ((access & kWriteAccess) && !MayWrite(target.root, target.path)) return ERROR_ACCESS_DENIED;
  auto object = std::make_unique<KeyObject>();
  object->id = target.id;
  object->root = target.root;
  object->path = target.path;
  object->access = access;
  object->view = view ? view : base.view;
  object->classes = base.classes;
  if (base.classes) object->classes_path = Join(base.classes_path, sub);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = AddKey(std::move(object));
  return ERROR_SUCCESS;
}

// The key a handle names, checked for the access an operation needs.
LSTATUS KeyFor(HKEY key, REGSAM needed, Store** store, Target* target) {
  *store = TheStore();
  if (!*store) return ERROR_REGISTRY_IO_FAILED;
  Base base;
  if (LSTATUS s = GetBase(key, &base)) return s;
  if (base.classes && !base.id) {
    *target = Resolve(*store, base, u"", 0);
    if (!target->id) return ERROR_FILE_NOT_FOUND;
  } else {
    *target = Target{base.root, base.path, base.id};
    if (!regstore::KeyExists(*store, base.id)) return ERROR_KEY_DELETED;
  }
  if ((base.access & needed) != needed) return ERROR_ACCESS_DENIED;
  if ((needed & kWriteAccess) && !MayWrite(target->root, target->path)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

std::u16string NameOf(LPCWSTR name) { return name ? std::u16string(name) : std::u16string(); }

LSTATUS DeleteKey(HKEY key, LPCWSTR sub_key, REGSAM view, bool tree) {
  Store* store = TheStore();
  if (!store) return ERROR_REGISTRY_IO_FAILED;
  Base base;
  if (LSTATUS s = GetBase(key, &base)) return s;
  std::u16string sub = NameOf(sub_key);
  Target target = Resolve(store, base, sub, view);
  if (!target.id) return ERROR_FILE_NOT_FOUND;
  if (target.id == kLocalMachine || target.id == kUsers || regstore::SplitKeyPath(target.path).size() < 2)
    return ERROR_ACCESS_DENIED;  // a root or a hive itself
  if (!MayWrite(target.root, target.path)) return ERROR_ACCESS_DENIED;
  Transaction tx(store);
  if (!tx.ok()) return ERROR_REGISTRY_IO_FAILED;
  if (!tree && !regstore::Subkeys(store, target.id).empty()) return ERROR_ACCESS_DENIED;
  if (!regstore::DeleteTree(store, target.id) || !tx.Commit()) return ERROR_REGISTRY_IO_FAILED;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result) {
  return OpenOrCreate(key, sub_key, desired, false, result, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD, LPWSTR, DWORD, REGSAM desired,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (!sub_key) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(key, sub_key, desired, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  KeyTable& t = Keys();
  std::unique_ptr<KeyObject> object;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.keys.find(reinterpret_cast<KeyObject*>(key));
    if (it == t.keys.end()) return ERROR_INVALID_HANDLE;
    object.reset(*it);
    t.keys.erase(it);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD data_size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  if (data && !data_size) return ERROR_INVALID_PARAMETER;
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_QUERY_VALUE, &store, &target)) return s;
  regstore::Value value;
  if (!regstore::GetValue(store, target.id, NameOf(value_name), &value)) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (!data) {
    if (data_size) *data_size = size;
    return ERROR_SUCCESS;
  }
  if (*data_size < size) {
    *data_size = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(data, value.data.data(), size);
  *data_size = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD, DWORD type, const BYTE* data,
                       DWORD data_size) {
  if (!data && data_size) return ERROR_NOACCESS;
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_SET_VALUE, &store, &target)) return s;
  std::string bytes(data ? reinterpret_cast<const char*>(data) : "", data ? data_size : 0);
  Transaction tx(store);
  if (!tx.ok() || !regstore::SetValue(store, target.id, NameOf(value_name), type, bytes) ||
      !tx.Commit())
    return ERROR_REGISTRY_IO_FAILED;
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_SET_VALUE, &store, &target)) return s;
  Transaction tx(store);
  if (!tx.ok()) return ERROR_REGISTRY_IO_FAILED;
  if (!regstore::DeleteValue(store, target.id, NameOf(value_name))) return ERROR_FILE_NOT_FOUND;
  return tx.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
  if (!sub_key || !*sub_key) return ERROR_INVALID_PARAMETER;
  return DeleteKey(key, sub_key, 0, false);
}

LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR sub_key, REGSAM desired, DWORD) {
  if (!sub_key || !*sub_key) return ERROR_INVALID_PARAMETER;
  return DeleteKey(key, sub_key, desired & KEY_WOW64_RES, false);
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR sub_key) {
  if (sub_key && *sub_key) return DeleteKey(key, sub_key, 0, true);
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, 0, &store, &target)) return s;
  if (!MayWrite(target.root, target.path)) return ERROR_ACCESS_DENIED;
  Transaction tx(store);
  if (!tx.ok() || !regstore::ClearKey(store, target.id) || !tx.Commit())
    return ERROR_REGISTRY_IO_FAILED;
  return ERROR_SUCCESS;
}

DWORD SHDeleteKeyW(HKEY key, LPCWSTR sub_key) {
  if (!sub_key || !*sub_key) return ERROR_INVALID_PARAMETER;
  return static_cast<DWORD>(DeleteKey(key, sub_key, 0, true));
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved,
                      LPWSTR class_name, LPDWORD class_size, FILETIME* last_write) {
  if (!name || !name_size || reserved) return ERROR_INVALID_PARAMETER;
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_ENUMERATE_SUB_KEYS, &store, &target)) return s;
  auto subkeys = regstore::Subkeys(store, target.id);
  if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& n = subkeys[index].second;
  if (*name_size <= n.size()) return ERROR_MORE_DATA;
  n.copy(name, n.size());
  name[n.size()] = 0;
  *name_size = static_cast<DWORD>(n.size());
  if (class_name && class_size && *class_size) class_name[0] = 0;
  if (class_size) *class_size = 0;
  if (last_write) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR value_name, LPDWORD value_name_size,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  if (!value_name || !value_name_size || reserved) return ERROR_INVALID_PARAMETER;
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_QUERY_VALUE, &store, &target)) return s;
  auto values = regstore::Values(store, target.id);
  if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
  const regstore::Value& v = values[index];
  if (*value_name_size <= v.name.size()) return ERROR_MORE_DATA;
  v.name.copy(value_name, v.name.size());
  value_name[v.name.size()] = 0;
  *value_name_size = static_cast<DWORD>(v.name.size());
  if (type) *type = v.type;
  DWORD size = static_cast<DWORD>(v.data.size());
  if (data) {
    if (!data_size) return ERROR_INVALID_PARAMETER;
    if (*data_size < size) {
      *data_size = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, v.data.data(), size);
  }
  if (data_size) *data_size = size;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, LPDWORD class_size, LPDWORD reserved,
                         LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len,
                         LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len,
                         LPDWORD security_descriptor, FILETIME* last_write) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  Store* store;
  Target target;
  if (LSTATUS s = KeyFor(key, KEY_QUERY_VALUE, &store, &target)) return s;
  auto subkeys = regstore::Subkeys(store, target.id);
  auto vals = regstore::Values(store, target.id);
  DWORD max_key = 0, max_name = 0, max_data = 0;
  for (const auto& s : subkeys) max_key = std::max<DWORD>(max_key, static_cast<DWORD>(s.second.size()));
  for (const auto& v : vals) {
    max_name = std::max<DWORD>(max_name, static_cast<DWORD>(v.name.size()));
    max_data = std::max<DWORD>(max_data, static_cast<DWORD>(v.data.size()));
  }
  if (class_name && class_size && *class_size) class_name[0] = 0;
  if (class_size) *class_size = 0;
  if (sub_keys) *sub_keys = static_cast<DWORD>(subkeys.size());
  if (max_sub_key_len) *max_sub_key_len = max_key;
  if (max_class_len) *max_class_len = 0;
  if (values) *values = static_cast<DWORD>(vals.size());
  if (max_value_name_len) *max_value_name_len = max_name;
  if (max_value_len) *max_value_len = max_data;
  if (security_descriptor) *security_descriptor = 0;
  if (last_write) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

}  // namespace win32
