#include "base/sync.h"

#include <new>

#include "win32/errors.h"
#include "win32/handles.h"

namespace Kx {

// ---- KxRefCounted ----------------------------------------------------------------------

void KxRefCounted::DeleteThis() { delete this; }

win32::LONG KxRefCounted::AddRef() { return win32::InterlockedExchangeAdd(&ref_count_, 1) + 1; }

win32::LONG KxRefCounted::Release() {
  win32::LONG before = win32::InterlockedExchangeAdd(&ref_count_, -1);
  if (before == 1) {
    DeleteThis();
    return 0;
  }
  return before - 1;
}

// ---- KxEvent ---------------------------------------------------------------------------

KxEvent::~KxEvent() { Close(); }

bool KxEvent::Create(const std::u16string& name, bool manual_reset, bool initially_signalled) {
  if (handle_) return false;
  handle_ = win32::CreateEventW(nullptr, manual_reset ? win32::TRUE : win32::FALSE,
                                initially_signalled ? win32::TRUE : win32::FALSE,
                                name.empty() ? nullptr : name.c_str());
  already_existed_ = handle_ && win32::GetLastError() == win32::ERROR_ALREADY_EXISTS;
  name_ = name;
  return handle_ != nullptr;
}

void KxEvent::Set() {
  if (handle_) win32::SetEvent(handle_);
}

void KxEvent::Reset() {
  if (handle_) win32::ResetEvent(handle_);
}

bool KxEvent::Wait(win32::DWORD milliseconds, bool* timed_out) {
  if (!handle_) return false;
  win32::DWORD result = win32::WaitForSingleObject(handle_, milliseconds);
  if (result == win32::WAIT_OBJECT_0) return true;
  if (result == win32::WAIT_TIMEOUT && timed_out) *timed_out = true;
  return false;
}

void KxEvent::Close() {
  if (handle_) win32::CloseHandle(handle_);
  handle_ = nullptr;
  already_existed_ = false;
  name_.clear();
}

// ---- KxCriticalSection -----------------------------------------------------------------

KxCriticalSection::KxCriticalSection() : section_(new (std::nothrow) win32::CRITICAL_SECTION) {
  if (section_) win32::InitializeCriticalSection(section_);
}

KxCriticalSection::~KxCriticalSection() {
  if (!section_) return;
  win32::DeleteCriticalSection(section_);
  delete section_;
}

void KxCriticalSection::Lock() {
  if (section_) win32::EnterCriticalSection(section_);
}

bool KxCriticalSection::TryLock() {
  return section_ && win32::TryEnterCriticalSection(section_) != win32::FALSE;
}

void KxCriticalSection::Unlock() {
  if (section_) win32::LeaveCriticalSection(section_);
}

// ---- KxAutoLock ------------------------------------------------------------------------

KxAutoLock::KxAutoLock(KxCriticalSection* section) : section_(section) {
  if (section_) section_->Lock();
}

KxAutoLock::~KxAutoLock() { Release(); }

void KxAutoLock::Release() {
  if (!section_) return;
  section_->Unlock();
  section_ = nullptr;
}

}  // namespace Kx
