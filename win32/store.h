// The machine's SQLite database (registry.db): registry keys and values, the process
// table and the window list. One connection per process, guarded by one lock, so that
// every call is one transaction whichever thread makes it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, const void* data, size_t size);
  Statement& BindNull(int index);
  // True while a row is available.
  bool Step();
  // Runs to completion; true on SQLITE_DONE.
  bool Run();
  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::string Blob(int column) const;
  bool IsNull(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int last_ = SQLITE_OK;
};

class Store {
 public:
  // Opens (and if needed creates the schema of) the database file.
  static Store* Open(const std::string& path);
  ~Store();

  sqlite3* db() const { return db_; }
  std::recursive_mutex& mutex() { return mutex_; }
  bool Exec(const char* sql);
  int64_t LastInsertId() const;
  // Changes when any connection commits; lets caches notice other processes' writes.
  int64_t DataVersion();

 private:
  explicit Store(sqlite3* db) : db_(db) {}
  sqlite3* db_;
  std::recursive_mutex mutex_;
};

// A write transaction that rolls back unless committed; holds the store's lock.
class Transaction {
 public:
  explicit Transaction(Store* store);
  ~Transaction();
  bool ok() const { return ok_; }
  bool Commit();

 private:
  Store* store_;
  std::unique_lock<std::recursive_mutex> lock_;
  bool ok_ = false;
  bool done_ = false;
  bool nested_ = false;
};

}  // namespace win32
