// Locks, events and reference counting shared by every threaded part of the program.
#pragma once

#include <string>

#include "win32/sync.h"
#include "win32/types.h"

namespace Kx {

// A base that takes away copying.
class KxNonCopyable {
 public:
  KxNonCopyable(const KxNonCopyable&) = delete;
  KxNonCopyable& operator=(const KxNonCopyable&) = delete;

 protected:
  KxNonCopyable() = default;
  ~KxNonCopyable() = default;
};

// An object that destroys itself when its last reference is released. The count starts at
// 0; the creator takes the first reference. Derived classes override the destructor only.
class KxRefCounted : public KxNonCopyable {
 public:
  KxRefCounted() = default;
  virtual ~KxRefCounted() = default;
  // Destroys and frees the object.
  virtual void DeleteThis();

  // Both atomic. AddRef returns the count after the increment; Release returns the count
  // after the decrement, and destroys the object when that is 0.
  win32::LONG AddRef();
  win32::LONG Release();

 private:
  volatile win32::LONG ref_count_ = 0;
};

// A pointer that holds one reference to a KxRefCounted object.
template <typename T>
class KxRefPtr {
 public:
  KxRefPtr() = default;
  explicit KxRefPtr(T* object) : object_(object) {
    if (object_) object_->AddRef();
  }
  KxRefPtr(const KxRefPtr& other) : KxRefPtr(other.object_) {}
  KxRefPtr(KxRefPtr&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  KxRefPtr& operator=(KxRefPtr other) noexcept {
    T* old = object_;
    object_ = other.object_;
    other.object_ = old;
    return *this;
  }
  ~KxRefPtr() { reset(); }

  void reset() {
    T* old = object_;
    object_ = nullptr;
    if (old) old->Release();
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// A Win32 event. Operations on an event that was never created do nothing.
class KxEvent : public KxNonCopyable {
 public:
  KxEvent() = default;
  ~KxEvent();

  // False, doing nothing, when a handle already exists; otherwise creates the event (named
  // unless `name` is empty) and returns whether a handle was obtained.
  bool Create(const std::u16string& name, bool manual_reset, bool initially_signalled);
  void Set();
  void Reset();
  // True when the wait succeeded; false without a handle, or on time-out, which also sets
  // `*timed_out` (when given).
  bool Wait(win32::DWORD milliseconds, bool* timed_out = nullptr);
  void Close();

  win32::HANDLE handle() const { return handle_; }
  // Whether the named event already existed when Create obtained it.
  bool already_existed() const { return already_existed_; }
  const std::u16string& name() const { return name_; }

 private:
  win32::HANDLE handle_ = nullptr;
  bool already_existed_ = false;
  std::u16string name_;
};

// A recursive lock over a heap-allocated system critical section.
class KxCriticalSection : public KxNonCopyable {
 public:
  KxCriticalSection();
  ~KxCriticalSection();

  void Lock();
  // False when the section is held by another thread (or was never created).
  bool TryLock();
  void Unlock();

 private:
  win32::CRITICAL_SECTION* section_ = nullptr;
};

// Holds a KxCriticalSection for a scope, or until Release.
class KxAutoLock : public KxNonCopyable {
 public:
  explicit KxAutoLock(KxCriticalSection* section);
  explicit KxAutoLock(KxCriticalSection& section) : KxAutoLock(&section) {}
  ~KxAutoLock();

  // Leaves the section now; the destructor then does nothing.
  void Release();

 private:
  KxCriticalSection* section_;
};

}  // namespace Kx
