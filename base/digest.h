// MD5 digests computed by the system's own MD5 functions (Cryptdll.dll), and their text
// form of 32 upper-case hexadecimal digits.
#pragma once

#include <cstddef>
#include <string>

#include "win32/crypt.h"

namespace Kx {

struct Md5Functions;

// One digest computation. The system functions are loaded, once per process, by the first
// construction that finds them missing; a failed load is tried again by the next one. When
// a function is not available the matching step does nothing.
class KxMd5 {
 public:
  KxMd5();
  KxMd5(const KxMd5&) = delete;
  KxMd5& operator=(const KxMd5&) = delete;

  void Init();
  void Update(const void* data, size_t count);
  // Copies the 16 digest bytes to `out` and returns 16; returns 0 and leaves `out` alone
  // when the system has no MD5Final.
  int Final(unsigned char out[16]);

 private:
  win32::MD5_CTX context_{};  // the digest is its last field
  // The functions as they were when this object was made, so that one computation never
  // mixes a loaded step with a missing one.
  const Md5Functions* functions_;
};

// The digest of the bytes as 32 upper-case hexadecimal digits; 32 zeros when the system
// functions are not available.
std::u16string Md5Hex(const void* data, size_t size);
// Each byte as "%02X", in order.
std::u16string DigestToHex(const unsigned char digest[16]);

}  // namespace Kx
