// Kernel objects behind HANDLE values: one table per process, so that a stale or foreign
// handle value fails with ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include <memory>

#include "win32/types.h"

namespace win32 {

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Waits until the object is signalled; WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED or
  // WAIT_FAILED (with the last error set). Objects that cannot be waited on fail.
  virtual DWORD Wait(DWORD milliseconds);
  // The host descriptor behind a file or pipe handle, -1 for other objects.
  virtual int HostFd() const { return -1; }
};

// Enters an object into the handle table; the handle keeps it alive until closed.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object of a handle, or null (with ERROR_INVALID_HANDLE) when it is not one.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

BOOL CloseHandle(HANDLE handle);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// A pseudo handle for the calling process, as GetCurrentProcess returns it.
inline HANDLE PseudoCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

}  // namespace win32
