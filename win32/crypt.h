// Cryptdll.dll: the system's MD5 functions, which the program finds through
// LoadLibraryW(u"Cryptdll.dll") and GetProcAddress.
#pragma once

#include "win32/types.h"

namespace win32 {

// One MD5 computation, laid out as the system functions expect it.
struct MD5_CTX {
  ULONG count[2];            // bits hashed so far, low word first
  ULONG state[4];            // running A, B, C, D
  unsigned char input[64];   // bytes waiting for a full block
  unsigned char digest[16];  // written by MD5Final
};

void MD5Init(MD5_CTX* context);
void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length);
// Pads, hashes the rest and writes the digest into context->digest.
void MD5Final(MD5_CTX* context);

}  // namespace win32
