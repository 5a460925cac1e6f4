#include "base/base64.h"

#include <cstdint>

namespace Kx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The six-bit value of an alphabet character, or -1.
int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = uint32_t{static_cast<unsigned char>(bytes[i])} << 16 |
                           uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kAlphabet[(group >> shift) & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (rest == 2) group |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    // One byte gives two characters, two bytes three; "=" fills the group to four.
    for (size_t k = 0; k <= rest; ++k) text.push_back(kAlphabet[(group >> (18 - 6 * k)) & 63]);
    text.append(3 - rest, '=');
  }
  return text;
}

std::string Base64Decode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int sextets = 0;
  for (char c : text) {
    const int value = SextetOf(c);
    if (value < 0) break;  // "=" or any other character ends the text
    group = group << 6 | static_cast<uint32_t>(value);
    if (++sextets == 4) {
      bytes.push_back(static_cast<char>(group >> 16));
      bytes.push_back(static_cast<char>(group >> 8));
      bytes.push_back(static_cast<char>(group));
      group = 0;
      sextets = 0;
    }
  }
  // Two or three leftover characters carry one or two whole bytes.
  if (sextets == 2) {
    bytes.push_back(static_cast<char>(group >> 4));
  } else if (sextets == 3) {
    bytes.push_back(static_cast<char>(group >> 10));
    bytes.push_back(static_cast<char>(group >> 2));
  }
  return bytes;
}

}  // namespace Kx
