#include "win32/services.h"

#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/process_table.h"
#include "win32/processes.h"
#include "win32/registry_store.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

struct ServiceHandle {
  bool manager = false;
  std::u16string name;  // folded, for services
  DWORD access = 0;
};

std::mutex g_mutex;
std::unordered_map<ServiceHandle*, std::unique_ptr<ServiceHandle>>* g_handles =
    new std::unordered_map<ServiceHandle*, std::unique_ptr<ServiceHandle>>();

Store* TheStore() {
  Machine* m = CurrentMachine();
  return m ? m->store() : nullptr;
}

SC_HANDLE Add(std::unique_ptr<ServiceHandle> h) {
  ServiceHandle* raw = h.get();
  std::lock_guard<std::mutex> lock(g_mutex);
  (*g_handles)[raw] = std::move(h);
  return reinterpret_cast<SC_HANDLE>(raw);
}

// A copy of the handle's record; false when it is not a live handle.
bool Get(SC_HANDLE handle, ServiceHandle* out) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_handles->find(reinterpret_cast<ServiceHandle*>(handle));
  if (it == g_handles->end()) return false;
  *out = *it->second;
  return true;
}

int64_t ServiceKey(Store* store, std::u16string_view name) {
  int64_t services = regstore::FindPath(store, regstore::kLocalMachine, kServicesKey);
  return services ? regstore::FindChild(store, services, name) : 0;
}

std::u16string TextValue(Store* store, int64_t key, std::u16string_view name) {
  regstore::Value v;
  if (!regstore::GetValue(store, key, name, &v)) return std::u16string();
  std::u16string text = regstore::UnitsOf(v.data);
  return text.substr(0, text.find(u'\0'));
}

DWORD DwordValue(Store* store, int64_t key, std::u16string_view name) {
  regstore::Value v;
  return regstore::GetValue(store, key, name, &v) ? regstore::DwordOf(v.data) : 0;
}

// The program a service runs, without quotes or arguments.
std::u16string ProgramOf(std::u16string image_path) {
  if (!image_path.empty() && image_path[0] == u'"') {
    size_t end = image_path.find(u'"', 1);
    return image_path.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
  }
  size_t exe = Fold(image_path).find(u".EXE");
  return exe == std::u16string::npos ? image_path : image_path.substr(0, exe + 4);
}

bool ProgramRuns(const std::u16string& program) {
  for (const proctable::Record& r : proctable::Live())
    if (EqualsNoCase(r.image_path, program)) return true;
  return false;
}

bool OpenHandlesTo(const std::u16string& folded_name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& [raw, h] : *g_handles)
    if (!h->manager && h->name == folded_name) return true;
  return false;
}

bool Privileged() { return CurrentProcess().elevated || CurrentProcess().offline; }

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machine_name, LPCWSTR, DWORD desired_access) {
  if (machine_name && *machine_name) {
    SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE: only the local machine
    return nullptr;
  }
  if ((desired_access & ~SC_MANAGER_CONNECT & ~SC_MANAGER_ENUMERATE_SERVICE & 0xFFFF) && !Privileged()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto h = std::make_unique<ServiceHandle>();
  h->manager = true;
  h->access = desired_access;
  return Add(std::move(h));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR service_name, DWORD desired_access) {
  ServiceHandle m;
  if (!Get(manager, &m) || !m.manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Store* store = TheStore();
  if (!service_name || !store || !ServiceKey(store, service_name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if ((desired_access & 0x10000 /* DELETE */) && !Privileged()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto h = std::make_unique<ServiceHandle>();
  h->name = Fold(service_name);
  h->access = desired_access;
  return Add(std::move(h));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR service_name, LPCWSTR display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type,
                         DWORD error_control, LPCWSTR binary_path_name, LPCWSTR, LPDWORD,
                         LPCWSTR, LPCWSTR service_start_name, LPCWSTR) {
  ServiceHandle m;
  if (!Get(manager, &m) || !m.manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!service_name || !*service_name || !binary_path_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!Privileged()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Store* store = TheStore();
  Transaction tx(store);
  if (!store || !tx.ok()) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return nullptr;
  }
  int64_t services = regstore::CreatePath(store, regstore::kLocalMachine, kServicesKey, nullptr);
  bool created = false;
  int64_t key = services ? regstore::CreateChild(store, services, service_name, &created) : 0;
  if (!key || !created) {
    SetLastError(key ? ERROR_SERVICE_EXISTS : ERROR_INTERNAL_ERROR);
    return nullptr;
  }
  constexpr DWORD kSz = 1, kExpandSz = 2, kDword = 4;
  regstore::SetValue(store, key, u"Type", kDword, regstore::DwordBytes(service_type));
  regstore::SetValue(store, key, u"Start", kDword, regstore::DwordBytes(start_type));
  regstore::SetValue(store, key, u"ErrorControl", kDword, regstore::DwordBytes(error_control));
  regstore::SetValue(store, key, u"ImagePath", kExpandSz, regstore::SzBytes(binary_path_name));
  regstore::SetValue(store, key, u"DisplayName", kSz,
                     regstore::SzBytes(display_name ? display_name : service_name));
  regstore::SetValue(store, key, u"ObjectName", kSz,
                     regstore::SzBytes(service_start_name ? service_start_name : u"LocalSystem"));
  if (!tx.Commit()) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return nullptr;
  }
  auto h = std::make_unique<ServiceHandle>();
  h->name = Fold(service_name);
  h->access = desired_access;
  return Add(std::move(h));
}

BOOL DeleteService(SC_HANDLE service) {
  ServiceHandle h;
  if (!Get(service, &h) || h.manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(h.access & 0x10000)) {  // DELETE
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Store* store = TheStore();
  Transaction tx(store);
  int64_t key = store && tx.ok() ? ServiceKey(store, h.name) : 0;
  if (!key) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  if (DwordValue(store, key, u"DeleteFlag") == 1) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  if (!regstore::SetValue(store, key, u"DeleteFlag", 4, regstore::DwordBytes(1)) || !tx.Commit()) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  std::unique_ptr<ServiceHandle> closed;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles->find(reinterpret_cast<ServiceHandle*>(handle));
    if (it == g_handles->end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    closed = std::move(it->second);
    g_handles->erase(it);
  }
  if (!closed->manager && !OpenHandlesTo(closed->name)) RemoveMarkedServices(false);
  return TRUE;
}

std::vector<ServiceRecord> ListServices() {
  std::vector<ServiceRecord> out;
  Store* store = TheStore();
  if (!store) return out;
  int64_t services = regstore::FindPath(store, regstore::kLocalMachine, kServicesKey);
  if (!services) return out;
  for (const auto& [key, name] : regstore::Subkeys(store, services)) {
    ServiceRecord r;
    r.name = name;
    r.display_name = TextValue(store, key, u"DisplayName");
    r.image_path = TextValue(store, key, u"ImagePath");
    r.start_type = DwordValue(store, key, u"Start");
    r.marked_for_delete = DwordValue(store, key, u"DeleteFlag") == 1;
    out.push_back(std::move(r));
  }
  return out;
}

void RemoveMarkedServices(bool at_restart) {
  Store* store = TheStore();
  if (!store) return;
  for (const ServiceRecord& r : ListServices()) {
    if (!r.marked_for_delete) continue;
    if (!at_restart && (OpenHandlesTo(Fold(r.name)) || ProgramRuns(ProgramOf(r.image_path))))
      continue;
    Transaction tx(store);
    int64_t key = tx.ok() ? ServiceKey(store, r.name) : 0;
    if (key && regstore::DeleteTree(store, key)) tx.Commit();
  }
}

}  // namespace win32
