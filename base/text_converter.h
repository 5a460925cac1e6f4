// The code-page text converter behind Utf8ToWide and WideToUtf8, and its growable byte
// buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

namespace Kx {

// A byte buffer that owns its allocation: capacity (bytes allocated), data (null when the
// capacity is 0) and length (bytes in use, never above the capacity).
template <typename T>
class KxBuffer {
 public:
  KxBuffer() = default;
  KxBuffer(const KxBuffer&) = delete;
  KxBuffer& operator=(const KxBuffer&) = delete;
  virtual ~KxBuffer() { delete[] data_; }

  uint32_t capacity() const { return capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  uint32_t length() const { return length_; }
  // Sets the bytes in use, capped at the capacity.
  void set_length(uint32_t length) { length_ = length < capacity_ ? length : capacity_; }

  // Frees the allocation: capacity, data and length become 0.
  void Free() {
    delete[] data_;
    data_ = nullptr;
    capacity_ = 0;
    length_ = 0;
  }

 protected:
  uint32_t capacity_ = 0;
  T* data_ = nullptr;
  uint32_t length_ = 0;
};

// A KxBuffer that grows: Reserve(n) makes room for n elements, adding to the capacity c
// the larger of n - c and an increment of c / 4 (c > 64), 16 (9 <= c <= 64) or 4 (c <= 8).
template <typename T>
class KxDynamicBuffer : public KxBuffer<T> {
 public:
  KxDynamicBuffer() = default;
  KxDynamicBuffer(const KxDynamicBuffer& other) : KxBuffer<T>() { CopyFrom(other); }
  KxDynamicBuffer& operator=(const KxDynamicBuffer& other) {
    CopyFrom(other);
    return *this;
  }
  // Frees the own allocation and becomes an exact copy of the source: the same capacity
  // (allocated exactly), elements and length. A failed allocation leaves it empty.
  KxDynamicBuffer& operator=(const KxBuffer<T>& other) {
    CopyFrom(other);
    return *this;
  }

  // False, with the buffer unchanged, when the memory cannot be had.
  bool Reserve(uint32_t n) {
    const uint32_t c = this->capacity_;
    if (c >= n) return true;
    const uint32_t increment = c > 64 ? c / 4 : (c <= 8 ? 4 : 16);
    const uint64_t grown = uint64_t{c} + (increment > n - c ? increment : n - c);
    const uint32_t size = grown > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(grown);
    T* block = new (std::nothrow) T[size];
    if (!block) return false;
    if (this->data_) std::memcpy(block, this->data_, c * sizeof(T));
    delete[] this->data_;
    this->data_ = block;
    this->capacity_ = size;
    return true;
  }

 private:
  void CopyFrom(const KxBuffer<T>& other) {
    if (&other == this) return;
    this->Free();
    if (other.capacity() == 0) return;
    T* block = new (std::nothrow) T[other.capacity()];
    if (!block) return;
    if (other.data()) std::memcpy(block, other.data(), other.capacity() * sizeof(T));
    this->data_ = block;
    this->capacity_ = other.capacity();
    this->length_ = other.length();
  }
};

// An open conversion between two code pages, named by the encoding identifiers or names
// of the table in text_converter.cc. The code pages are packed into one value: source in
// the high 16 bits, target in the low 16 bits; 0xFFFF means not resolved.
class KxTextConverter {
 public:
  KxTextConverter() = default;
  ~KxTextConverter() { Close(); }
  KxTextConverter(const KxTextConverter&) = delete;
  KxTextConverter& operator=(const KxTextConverter&) = delete;

  // The encoding name of an identifier ("UTF-8" for 6); "" for an unknown identifier.
  static const char* NameOf(int id);
  // The code page of an encoding name; "" is the ANSI code page. False for a name that
  // is not in the table.
  static bool CodePageOf(const char* name, uint32_t* code_page);

  bool Open(int target_id, int source_id);
  // Resolves both names and checks that the system converts the code pages (UTF-16 needs
  // no check). False, with errno = EINVAL, when a name is unknown or a page unusable.
  bool OpenByName(const char* target_name, const char* source_name);
  // Converts size bytes into output (terminated by a zero unit of the target, not counted
  // in its length). 0 on success, -1 on failure with errno = EBADF (not resolved), EILSEQ
  // (an odd UTF-16 byte count) or EINVAL.
  int Convert(const char* source, uint32_t size, KxDynamicBuffer<char>* output);
  void Close();

  bool is_open() const { return open_; }
  uint32_t code_pages() const { return code_pages_; }
  uint32_t source_code_page() const { return code_pages_ >> 16; }
  uint32_t target_code_page() const { return code_pages_ & 0xFFFF; }

 private:
  uint32_t code_pages_ = 0xFFFFFFFF;
  bool open_ = false;
};

}  // namespace Kx
