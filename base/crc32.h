// CRC-32 as zlib computes it: reflected polynomial 0xEDB88320, initial value all ones,
// final inversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Kx {

// Continues `crc` (0 to start) over the bytes, like zlib's crc32().
uint32_t Crc32(uint32_t crc, const void* data, size_t size);
inline uint32_t Crc32(std::string_view bytes) { return Crc32(0, bytes.data(), bytes.size()); }

}  // namespace Kx
