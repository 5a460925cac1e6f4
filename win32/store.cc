#include "win32/store.h"

namespace win32 {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys (
  -- AUTOINCREMENT: the id of a deleted key never comes back, so a handle that is still
  -- open on it can only find it deleted.
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  UNIQUE (parent, folded)
);
CREATE TABLE IF NOT EXISTS vals (
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  seq INTEGER NOT NULL,
  PRIMARY KEY (key, folded)
);
CREATE TABLE IF NOT EXISTS processes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  host_pid INTEGER,
  host_start INTEGER,
  parent INTEGER NOT NULL DEFAULT 0,
  image_path TEXT NOT NULL,
  image_name TEXT NOT NULL,
  user TEXT NOT NULL,
  elevated INTEGER NOT NULL DEFAULT 0,
  bits INTEGER NOT NULL DEFAULT 64,
  command_line TEXT NOT NULL DEFAULT '',
  modules TEXT NOT NULL DEFAULT '',
  exit_code INTEGER,
  ended INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS processes_host ON processes (host_pid);
CREATE TABLE IF NOT EXISTS windows (
  hwnd INTEGER PRIMARY KEY,
  process INTEGER NOT NULL,
  class_name TEXT NOT NULL,
  title TEXT NOT NULL,
  endpoint TEXT NOT NULL
);
INSERT OR IGNORE INTO keys (id, parent, name, folded) VALUES
  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
  (2, 0, 'HKEY_USERS', 'HKEY_USERS');
)sql";

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

Statement::~Statement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (stmt_) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  if (stmt_) sqlite3_bind_blob(stmt_, index, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (stmt_) sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Statement::Step() {
  if (!stmt_) return false;
  last_ = sqlite3_step(stmt_);
  return last_ == SQLITE_ROW;
}

bool Statement::Run() {
  if (!stmt_) return false;
  do {
    last_ = sqlite3_step(stmt_);
  } while (last_ == SQLITE_ROW);
  return last_ == SQLITE_DONE;
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

std::string Statement::Blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  return data ? std::string(static_cast<const char*>(data),
                            static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Store* Store::Open(const std::string& path) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 30000);
  Store* store = new Store(db);
  if (!store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA synchronous=NORMAL") ||
      !store->Exec(kSchema)) {
    delete store;
    return nullptr;
  }
  return store;
}

Store::~Store() { sqlite3_close(db_); }

bool Store::Exec(const char* sql) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t Store::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int64_t Store::DataVersion() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Statement st(db_, "PRAGMA data_version");
  return st.Step() ? st.Int(0) : -1;
}

Transaction::Transaction(Store* store) : store_(store) {
  if (!store_) return;
  lock_ = std::unique_lock<std::recursive_mutex>(store_->mutex());
  if (!sqlite3_get_autocommit(store_->db())) {
    nested_ = true;  // part of an enclosing transaction of this thread
    ok_ = true;
    return;
  }
  ok_ = store_->Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (ok_ && !done_ && !nested_) store_->Exec("ROLLBACK");
}

bool Transaction::Commit() {
  if (!ok_ || done_) return false;
  done_ = true;
  if (nested_) return true;
  if (store_->Exec("COMMIT")) return true;
  store_->Exec("ROLLBACK");
  return false;
}

}  // namespace win32
