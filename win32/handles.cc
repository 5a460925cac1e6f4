#include "win32/handles.h"

#include <mutex>
#include <unordered_map>

#include "win32/errors.h"

namespace win32 {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();  // outlives every thread
  return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  if (!object) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;  // destroyed outside the table lock
  HandleTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<KernelObject> object = LookupHandle(handle);
  if (!object) return WAIT_FAILED;
  return object->Wait(milliseconds);
}

}  // namespace win32
