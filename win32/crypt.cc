#include "win32/crypt.h"

#include <cstddef>
#include <cstring>

namespace win32 {

static_assert(sizeof(MD5_CTX) == 104 && offsetof(MD5_CTX, digest) == 88,
              "the layout the system functions share with their callers");

namespace {

// T[i] = floor(2^32 * |sin(i + 1)|), the additive constants of the 64 steps.
constexpr ULONG kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr ULONG RotateLeft(ULONG x, int n) { return (x << n) | (x >> (32 - n)); }

ULONG LoadLittleEndian(const unsigned char* p) {
  return ULONG{p[0]} | ULONG{p[1]} << 8 | ULONG{p[2]} << 16 | ULONG{p[3]} << 24;
}

void StoreLittleEndian(ULONG v, unsigned char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Hashes one 64-byte block into the state.
void Transform(ULONG state[4], const unsigned char block[64]) {
  ULONG x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);

  ULONG a = state[0], b = state[1], c = state[2], d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    ULONG f;
    int k;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        k = step;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        k = (5 * step + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        k = (3 * step + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        k = (7 * step) % 16;
        break;
    }
    const ULONG rotated = b + RotateLeft(a + f + x[k] + kSine[step], kShift[round][step % 4]);
    a = d;
    d = c;
    c = b;
    b = rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5_CTX* context) {
  context->count[0] = 0;
  context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length) {
  if (length == 0) return;
  size_t used = (context->count[0] >> 3) & 63;
  // The bit count is a 64-bit number kept in two words.
  const uint64_t bits =
      (uint64_t{context->count[1]} << 32 | context->count[0]) + (uint64_t{length} << 3);
  context->count[0] = static_cast<ULONG>(bits);
  context->count[1] = static_cast<ULONG>(bits >> 32);

  size_t rest = length;
  if (used != 0) {
    const size_t take = rest < 64 - used ? rest : 64 - used;
    std::memcpy(context->input + used, input, take);
    input += take;
    rest -= take;
    used += take;
    if (used < 64) return;
    Transform(context->state, context->input);
  }
  for (; rest >= 64; rest -= 64, input += 64) Transform(context->state, input);
  if (rest != 0) std::memcpy(context->input, input, rest);
}

void MD5Final(MD5_CTX* context) {
  // A single 1 bit, zeros up to 56 bytes mod 64, then the message length in bits.
  unsigned char length_bytes[8];
  StoreLittleEndian(context->count[0], length_bytes);
  StoreLittleEndian(context->count[1], length_bytes + 4);
  const size_t used = (context->count[0] >> 3) & 63;
  const size_t pad = used < 56 ? 56 - used : 120 - used;
  static constexpr unsigned char kPadding[64] = {0x80};
  MD5Update(context, kPadding, static_cast<unsigned int>(pad));
  MD5Update(context, length_bytes, 8);
  for (int i = 0; i < 4; ++i) StoreLittleEndian(context->state[i], context->digest + 4 * i);
}

}  // namespace win32
