#include "win32/process_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <mutex>

#include "win32/machine.h"
#include "win32/paths.h"
#include "win32/store.h"
#include "win32/unicode.h"

namespace win32::proctable {
namespace {

std::string JoinModules(const std::vector<std::u16string>& modules) {
  std::string out;
  for (const std::u16string& m : modules) {
    if (!out.empty()) out += '\n';
    out += ToUtf8(m);
  }
  return out;
}

std::vector<std::u16string> SplitModules(const std::string& text) {
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.push_back(FromUtf8(text.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

constexpr const char* kColumns =
    "id, host_pid, host_start, parent, image_path, image_name, user, elevated, bits, "
    "command_line, modules, exit_code, ended";

Record ReadRecord(const Statement& st) {
  Record r;
  r.id = static_cast<DWORD>(st.Int(0));
  r.host_pid = st.IsNull(1) ? 0 : st.Int(1);
  r.host_start = st.IsNull(2) ? 0 : st.Int(2);
  r.parent = static_cast<DWORD>(st.Int(3));
  r.image_path = FromUtf8(st.Text(4));
  r.image_name = FromUtf8(st.Text(5));
  r.user = st.Text(6);
  r.elevated = st.Int(7) != 0;
  r.bits = static_cast<int>(st.Int(8));
  r.command_line = FromUtf8(st.Text(9));
  r.modules = SplitModules(st.Text(10));
  if (!st.IsNull(11)) r.exit_code = static_cast<DWORD>(st.Int(11));
  r.ended = st.Int(12) != 0;
  return r;
}

// Bumped by this process's own writes to the table, which data_version does not show.
std::atomic<int64_t> g_local_changes{0};

Store* TheStore() {
  Machine* m = CurrentMachine();
  return m ? m->store() : nullptr;
}

}  // namespace

int64_t HostStartTime(int64_t host_pid) {
  if (host_pid <= 0) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(host_pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[1024];
  ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buffer[n] = 0;
  // The command name may hold blanks and parentheses: fields resume after the last ')'.
  char* p = std::strrchr(buffer, ')');
  if (!p || p[1] != ' ') return 0;
  p += 2;
  char state = *p;
  if (state == 'Z' || state == 'X' || state == 'x') return 0;
  // p points at field 3 (state); start time is field 22.
  int field = 3;
  while (*p && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  return field == 22 ? std::strtoll(p, nullptr, 10) : 0;
}

bool IsLive(const Record& record) {
  if (record.ended || record.host_pid <= 0) return false;
  return HostStartTime(record.host_pid) == record.host_start;
}

DWORD Insert(Record r) {
  Store* store = TheStore();
  if (!store) return 0;
  Transaction tx(store);
  if (!tx.ok()) return 0;
  Statement next(store->db(), "SELECT COALESCE(MAX(id), 1000) + 4 FROM processes");
  if (!next.Step()) return 0;
  DWORD id = static_cast<DWORD>(next.Int(0));
  Statement st(store->db(),
               "INSERT INTO processes (id, host_pid, host_start, parent, image_path, image_name, "
               "user, elevated, bits, command_line, modules) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, "
               "?8, ?9, ?10, ?11)");
  st.Bind(1, id);
  if (r.host_pid > 0) {
    st.Bind(2, r.host_pid).Bind(3, r.host_start);
  } else {
    st.BindNull(2).BindNull(3);
  }
  st.Bind(4, r.parent).Bind(5, ToUtf8(r.image_path)).Bind(6, ToUtf8(r.image_name));
  st.Bind(7, r.user).Bind(8, r.elevated ? 1 : 0).Bind(9, r.bits);
  st.Bind(10, ToUtf8(r.command_line)).Bind(11, JoinModules(r.modules));
  if (!st.Run() || !tx.Commit()) return 0;
  ++g_local_changes;
  return id;
}

std::optional<Record> Get(DWORD id) {
  Store* store = TheStore();
  if (!store) return std::nullopt;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::string sql = std::string("SELECT ") + kColumns + " FROM processes WHERE id = ?1";
  Statement st(store->db(), sql.c_str());
  st.Bind(1, id);
  if (!st.Step()) return std::nullopt;
  return ReadRecord(st);
}

std::optional<Record> FindByHost(int64_t host_pid, int64_t host_start) {
  Store* store = TheStore();
  if (!store) return std::nullopt;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::string sql = std::string("SELECT ") + kColumns +
                    " FROM processes WHERE host_pid = ?1 AND host_start = ?2 AND ended = 0"
                    " ORDER BY id DESC LIMIT 1";
  Statement st(store->db(), sql.c_str());
  st.Bind(1, host_pid).Bind(2, host_start);
  if (!st.Step()) return std::nullopt;
  return ReadRecord(st);
}

std::vector<Record> Live() {
  std::vector<Record> out;
  Store* store = TheStore();
  if (!store) return out;
  {
    std::lock_guard<std::recursive_mutex> lock(store->mutex());
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM processes WHERE ended = 0 AND host_pid IS NOT NULL ORDER BY id";
    Statement st(store->db(), sql.c_str());
    while (st.Step()) out.push_back(ReadRecord(st));
  }
  std::vector<Record> live;
  for (Record& r : out)
    if (IsLive(r)) live.push_back(std::move(r));
  return live;
}

std::vector<Record> ChildrenOf(DWORD parent) {
  std::vector<Record> out;
  Store* store = TheStore();
  if (!store) return out;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  std::string sql = std::string("SELECT ") + kColumns + " FROM processes WHERE parent = ?1 ORDER BY id";
  Statement st(store->db(), sql.c_str());
  st.Bind(1, parent);
  while (st.Step()) out.push_back(ReadRecord(st));
  return out;
}

bool SetHost(DWORD id, int64_t host_pid, int64_t host_start) {
  Store* store = TheStore();
  if (!store) return false;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "UPDATE processes SET host_pid = ?2, host_start = ?3 WHERE id = ?1");
  st.Bind(1, id).Bind(2, host_pid).Bind(3, host_start);
  ++g_local_changes;
  return st.Run();
}

bool SetExitCode(DWORD id, DWORD exit_code) {
  Store* store = TheStore();
  if (!store) return false;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  // The first recorded end wins: a termination is not overwritten by a later exit.
  Statement st(store->db(),
               "UPDATE processes SET exit_code = ?2, ended = 1 WHERE id = ?1 AND ended = 0");
  st.Bind(1, id).Bind(2, exit_code);
  ++g_local_changes;
  return st.Run();
}

bool SetModules(DWORD id, const std::vector<std::u16string>& modules) {
  Store* store = TheStore();
  if (!store) return false;
  std::lock_guard<std::recursive_mutex> lock(store->mutex());
  Statement st(store->db(), "UPDATE processes SET modules = ?2 WHERE id = ?1");
  st.Bind(1, id).Bind(2, JoinModules(modules));
  ++g_local_changes;
  return st.Run();
}

namespace {

struct Owner {
  int64_t host_pid;
  int64_t host_start;
};

struct InUseCache {
  std::mutex mutex;
  Store* store = nullptr;
  int64_t version = -2;
  int64_t local = -1;
  std::multimap<std::pair<dev_t, ino_t>, Owner> files;
};

InUseCache& Cache() {
  static InUseCache* cache = new InUseCache();
  return *cache;
}

void Rebuild(InUseCache& cache, Store* store) {
  cache.files.clear();
  std::vector<Record> rows;
  {
    std::lock_guard<std::recursive_mutex> lock(store->mutex());
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM processes WHERE ended = 0 AND host_pid IS NOT NULL";
    Statement st(store->db(), sql.c_str());
    while (st.Step()) rows.push_back(ReadRecord(st));
  }
  for (const Record& r : rows) {
    std::vector<std::u16string> files = r.modules;
    files.push_back(r.image_path);
    for (const std::u16string& f : files) {
      std::string host;
      struct stat st;
      if (HostPathOf(f, &host, nullptr) && ::stat(host.c_str(), &st) == 0)
        cache.files.emplace(std::make_pair(st.st_dev, st.st_ino), Owner{r.host_pid, r.host_start});
    }
  }
}

}  // namespace

bool IsFileInUse(const struct stat& st) {
  Store* store = TheStore();
  if (!store) return false;
  InUseCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  int64_t version = store->DataVersion();
  int64_t local = g_local_changes.load();
  if (cache.store != store || version != cache.version || local != cache.local) {
    Rebuild(cache, store);
    cache.store = store;
    cache.version = version;
    cache.local = local;
  }
  auto range = cache.files.equal_range({st.st_dev, st.st_ino});
  for (auto it = range.first; it != range.second; ++it)
    if (HostStartTime(it->second.host_pid) == it->second.host_start) return true;
  return false;
}

}  // namespace win32::proctable
