#include "win32/toolhelp.h"

#include <cstring>
#include <memory>
#include <vector>

#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/process_table.h"

namespace win32 {
namespace {

class Snapshot : public KernelObject {
 public:
  std::vector<PROCESSENTRY32W> entries;
  size_t next = 0;
};

PROCESSENTRY32W Entry(DWORD id, DWORD parent, std::u16string_view name) {
  PROCESSENTRY32W e;
  std::memset(&e, 0, sizeof e);
  e.dwSize = sizeof e;
  e.th32ProcessID = id;
  e.th32ParentProcessID = parent;
  e.cntThreads = 1;
  std::u16string_view n = name.substr(0, MAX_PATH - 1);
  n.copy(e.szExeFile, n.size());
  e.szExeFile[n.size()] = 0;
  return e;
}

BOOL Next(HANDLE snapshot, LPPROCESSENTRY32W entry, bool first) {
  auto s = LookupHandleAs<Snapshot>(snapshot);
  if (!s) return FALSE;
  if (!entry || entry->dwSize != sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (first) s->next = 0;
  if (s->next >= s->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *entry = s->entries[s->next++];
  return TRUE;
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if (!(flags & TH32CS_SNAPPROCESS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->entries.push_back(Entry(0, 0, u"[System Process]"));
  snapshot->entries.push_back(Entry(4, 0, u"System"));
  for (const proctable::Record& r : proctable::Live())
    snapshot->entries.push_back(Entry(r.id, r.parent, r.image_name));
  return InsertHandle(snapshot);
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return Next(snapshot, entry, true); }

BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return Next(snapshot, entry, false); }

}  // namespace win32
