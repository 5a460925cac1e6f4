#include "base/crc32.h"

#include <array>

namespace Kx {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320;

// The remainder of each byte value, one table lookup per input byte.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t r = n;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ kPolynomial : r >> 1;
    table[n] = r;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t r = ~crc;
  for (size_t i = 0; i < size; ++i) r = kTable[(r ^ p[i]) & 0xFF] ^ (r >> 8);
  return ~r;
}

}  // namespace Kx
