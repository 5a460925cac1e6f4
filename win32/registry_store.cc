#include "win32/registry_store.h"

#include "win32/unicode.h"

namespace win32::regstore {

std::vector<std::u16string> SplitKeyPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string UnitsOf(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return units;
}

std::string BytesOf(std::u16string_view units) {
  std::string bytes(units.size() * 2, '\0');
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[2 * i] = static_cast<char>(units[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return bytes;
}

std::string SzBytes(std::u16string_view text) { return BytesOf(text) + std::string(2, '\0'); }

std::string DwordBytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

uint32_t DwordOf(std::string_view bytes) {
  if (bytes.size() < 4) return 0;
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

int64_t FindChild(Store* store, int64_t parent, std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
  st.Bind(1, parent).Bind(2, ToUtf8(Fold(name)));
  return st.Step() ? st.Int(0) : 0;
}

int64_t CreateChild(Store* store, int64_t parent, std::u16string_view name, bool* created) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  if (created) *created = false;
  if (int64_t id = FindChild(store, parent, name)) return id;
  Statement st(store->db(), "INSERT INTO keys (parent, name, folded) VALUES (?1, ?2, ?3)");
  st.Bind(1, parent).Bind(2, ToUtf8(name)).Bind(3, ToUtf8(Fold(name)));
  if (!st.Run()) return 0;
  if (created) *created = true;
  return store->LastInsertId();
}

int64_t FindPath(Store* store, int64_t from, std::u16string_view path) {
  int64_t id = from;
  for (const std::u16string& part : SplitKeyPath(path)) {
    id = FindChild(store, id, part);
    if (!id) return 0;
  }
  return id;
}

int64_t CreatePath(Store* store, int64_t from, std::u16string_view path, bool* created) {
  int64_t id = from;
  bool any = false;
  for (const std::u16string& part : SplitKeyPath(path)) {
    bool made = false;
    id = CreateChild(store, id, part, &made);
    if (!id) return 0;
    any = made;
  }
  if (created) *created = any;
  return id;
}

bool KeyExists(Store* store, int64_t key) {
  if (key == kLocalMachine || key == kUsers) return true;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "SELECT 1 FROM keys WHERE id = ?1");
  st.Bind(1, key);
  return st.Step();
}

std::u16string KeyName(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "SELECT name FROM keys WHERE id = ?1");
  st.Bind(1, key);
  return st.Step() ? FromUtf8(st.Text(0)) : std::u16string();
}

int64_t ParentOf(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "SELECT parent FROM keys WHERE id = ?1");
  st.Bind(1, key);
  return st.Step() ? st.Int(0) : 0;
}

std::u16string KeyPath(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::u16string path;
  while (key) {
    Statement st(store->db(), "SELECT parent, name FROM keys WHERE id = ?1");
    st.Bind(1, key);
    if (!st.Step()) return std::u16string();
    std::u16string name = FromUtf8(st.Text(1));
    path = path.empty() ? name : name + u"\\" + path;
    key = st.Int(0);
  }
  return path;
}

bool GetValue(Store* store, int64_t key, std::u16string_view name, Value* value) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2");
  st.Bind(1, key).Bind(2, ToUtf8(Fold(name)));
  if (!st.Step()) return false;
  if (value) {
    value->name = FromUtf8(st.Text(0));
    value->type = static_cast<DWORD>(st.Int(1));
    value->data = st.Blob(2);
  }
  return true;
}

bool SetValue(Store* store, int64_t key, std::u16string_view name, DWORD type,
              std::string_view data) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::string folded = ToUtf8(Fold(name));
  Statement update(store->db(), "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND folded = ?2");
  update.Bind(1, key).Bind(2, folded).Bind(3, type).BindBlob(4, data.data(), data.size());
  if (!update.Run()) return false;
  if (sqlite3_changes(store->db()) > 0) return true;
  Statement insert(store->db(),
                   "INSERT INTO vals (key, name, folded, type, data, seq) VALUES (?1, ?2, ?3, ?4, ?5,"
                   " (SELECT COALESCE(MAX(seq), 0) + 1 FROM vals WHERE key = ?1))");
  insert.Bind(1, key).Bind(2, ToUtf8(name)).Bind(3, folded).Bind(4, type);
  insert.BindBlob(5, data.data(), data.size());
  return insert.Run();
}

bool DeleteValue(Store* store, int64_t key, std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
  st.Bind(1, key).Bind(2, ToUtf8(Fold(name)));
  return st.Run() && sqlite3_changes(store->db()) > 0;
}

std::vector<std::pair<int64_t, std::u16string>> Subkeys(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::vector<std::pair<int64_t, std::u16string>> out;
  Statement st(store->db(), "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY folded");
  st.Bind(1, key);
  while (st.Step()) out.emplace_back(st.Int(0), FromUtf8(st.Text(1)));
  return out;
}

std::vector<Value> Values(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::vector<Value> out;
  Statement st(store->db(), "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq");
  st.Bind(1, key);
  while (st.Step()) out.push_back({FromUtf8(st.Text(0)), static_cast<DWORD>(st.Int(1)), st.Blob(2)});
  return out;
}

bool ClearKey(Store* store, int64_t key) {
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  // Collect the whole subtree first, then delete it in one pass.
  Statement tree(store->db(),
                 "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 "
                 "UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
                 "SELECT id FROM sub");
  tree.Bind(1, key);
  std::vector<int64_t> ids;
  while (tree.Step()) ids.push_back(tree.Int(0));
  for (int64_t id : ids) {
    Statement dv(store->db(), "DELETE FROM vals WHERE key = ?1");
    dv.Bind(1, id);
    Statement dk(store->db(), "DELETE FROM keys WHERE id = ?1");
    dk.Bind(1, id);
    if (!dv.Run() || !dk.Run()) return false;
  }
  Statement own(store->db(), "DELETE FROM vals WHERE key = ?1");
  own.Bind(1, key);
  return own.Run();
}

bool DeleteTree(Store* store, int64_t key) {
  if (key == kLocalMachine || key == kUsers) return false;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  if (!ClearKey(store, key)) return false;
  Statement st(store->db(), "DELETE FROM keys WHERE id = ?1");
  st.Bind(1, key);
  return st.Run();
}

}  // namespace win32::regstore
