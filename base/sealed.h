// The symmetric envelope of request bodies and stored values: AES-128-CBC with PKCS#7
// padding, as one line of base64 text; and the seal, which adds a CRC-32 check so that an
// altered value, or one made with other keys, opens to nothing.
#pragma once

#include <string>
#include <string_view>

namespace Kx {

// `key` and `iv` point to 16 bytes each. Empty when either is null or the cipher fails.
std::string EncryptEnvelope(std::string_view plain, const unsigned char* key,
                            const unsigned char* iv);
// The plain bytes up to their first zero byte; empty on any failure.
std::string DecryptEnvelope(std::string_view text, const unsigned char* key,
                            const unsigned char* iv);

// The envelope under the key set shared with the statistics service. An empty body gives
// an empty text.
std::string EncryptStatistics(std::string_view plain);
std::string DecryptStatistics(std::string_view text);

// The envelope, under the seal key set, of the plain bytes followed by the 8 upper-case
// hexadecimal digits of their CRC-32.
std::string Seal(std::string_view plain);
// The plain bytes of a sealed text; empty when the text is empty, does not open or fails
// its check.
std::string Unseal(std::string_view sealed);

// Seal and Unseal under a key set of the caller's (16-byte key and vector).
std::string SealWithKeys(std::string_view plain, const unsigned char* key, const unsigned char* iv);
std::string UnsealWithKeys(std::string_view sealed, const unsigned char* key,
                           const unsigned char* iv);

}  // namespace Kx
