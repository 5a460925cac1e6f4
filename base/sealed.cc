#include "base/sealed.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "base/crc32.h"
#include "base/strings.h"

namespace Kx {
namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kCheckSize = 8;

// Key sets as stored: the AES key then the CBC vector, each byte XOR kKeyMask.
constexpr unsigned char kKeyMask = 0x64;
constexpr unsigned char kStatisticsKeySet[32] = {
    0x16, 0x38, 0x93, 0x54, 0x79, 0xBD, 0xDA, 0xF5, 0x01, 0xC4, 0x00, 0xEF, 0x58, 0xBB, 0xF0, 0x04,
    0xA9, 0x68, 0x5B, 0xBF, 0xA6, 0x7D, 0xD9, 0xD2, 0x26, 0xA6, 0x36, 0x81, 0x4B, 0x02, 0x5E, 0x29,
};
constexpr unsigned char kSealKeySet[32] = {
    0x52, 0x28, 0x29, 0x1B, 0x6C, 0xCF, 0x22, 0xB3, 0xFC, 0x33, 0xE3, 0xBE, 0xFF, 0x7E, 0xCF, 0xDE,
    0x38, 0x11, 0xBD, 0x4F, 0x79, 0xBE, 0x19, 0xE8, 0x5B, 0xB7, 0x0A, 0x2A, 0x47, 0x61, 0x85, 0xAB,
};

// A key set unmasked on the stack for one call, wiped when the call ends.
class KeyBlock {
 public:
  explicit KeyBlock(const unsigned char (&stored)[32]) {
    for (size_t i = 0; i < sizeof(bytes_); ++i) bytes_[i] = stored[i] ^ kKeyMask;
  }
  ~KeyBlock() { OPENSSL_cleanse(bytes_, sizeof(bytes_)); }
  KeyBlock(const KeyBlock&) = delete;
  KeyBlock& operator=(const KeyBlock&) = delete;

  const unsigned char* key() const { return bytes_; }
  const unsigned char* iv() const { return bytes_ + kBlockSize; }

 private:
  unsigned char bytes_[32];
};

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct BioFreeAll {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using ScopedBio = std::unique_ptr<BIO, BioFreeAll>;

// A base64 filter without line breaks on top of `sink`, which it then owns.
ScopedBio Base64Over(ScopedBio sink) {
  if (!sink) return nullptr;
  ScopedBio filter(BIO_new(BIO_f_base64()));
  if (!filter) return nullptr;
  BIO_set_flags(filter.get(), BIO_FLAGS_BASE64_NO_NL);
  BIO_push(filter.get(), sink.release());
  return filter;
}

std::string EncodeBase64Line(const unsigned char* bytes, size_t size) {
  ScopedBio chain = Base64Over(ScopedBio(BIO_new(BIO_s_mem())));
  if (!chain || size > INT_MAX) return std::string();
  if (BIO_write(chain.get(), bytes, static_cast<int>(size)) != static_cast<int>(size) ||
      BIO_flush(chain.get()) != 1)
    return std::string();
  BUF_MEM* memory = nullptr;
  BIO_get_mem_ptr(BIO_next(chain.get()), &memory);
  return memory ? std::string(memory->data, memory->length) : std::string();
}

std::string DecodeBase64Line(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  ScopedBio chain =
      Base64Over(ScopedBio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))));
  if (!chain) return std::string();
  std::string bytes;
  char chunk[4096];
  int read;
  while ((read = BIO_read(chain.get(), chunk, sizeof(chunk))) > 0) bytes.append(chunk, read);
  return bytes;
}

// Runs AES-128-CBC over whole blocks, without the cipher's own padding.
bool RunCipher(bool encrypt, const unsigned char* key, const unsigned char* iv,
               const unsigned char* in, size_t size, unsigned char* out) {
  if (size == 0 || size % kBlockSize != 0 || size > INT_MAX) return false;
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context ||
      EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1)
    return false;
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  int written = 0;
  return EVP_CipherUpdate(context.get(), out, &written, in, static_cast<int>(size)) == 1 &&
         written == static_cast<int>(size);
}

}  // namespace

std::string EncryptEnvelope(std::string_view plain, const unsigned char* key,
                            const unsigned char* iv) {
  if (!key || !iv) return std::string();
  // Always 1 to 16 bytes of padding, each holding the pad length.
  const size_t pad = kBlockSize - plain.size() % kBlockSize;
  std::string padded(plain);
  padded.append(pad, static_cast<char>(pad));
  std::string cipher(padded.size(), '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(cipher.data());
  if (!RunCipher(true, key, iv, reinterpret_cast<const unsigned char*>(padded.data()),
                 padded.size(), out))
    return std::string();
  return EncodeBase64Line(out, cipher.size());
}

std::string DecryptEnvelope(std::string_view text, const unsigned char* key,
                            const unsigned char* iv) {
  if (!key || !iv) return std::string();
  const std::string cipher = DecodeBase64Line(text);
  std::string plain(cipher.size(), '\0');
  if (!RunCipher(false, key, iv, reinterpret_cast<const unsigned char*>(cipher.data()),
                 cipher.size(), reinterpret_cast<unsigned char*>(plain.data())))
    return std::string();
  // The last byte tells how many to drop; the other pad bytes are not examined.
  const size_t pad = static_cast<unsigned char>(plain.back());
  if (pad >= plain.size()) return std::string();
  plain.resize(plain.size() - pad);
  if (const size_t zero = plain.find('\0'); zero != std::string::npos) plain.resize(zero);
  return plain;
}

std::string EncryptStatistics(std::string_view plain) {
  if (plain.empty()) return std::string();
  KeyBlock keys(kStatisticsKeySet);
  return EncryptEnvelope(plain, keys.key(), keys.iv());
}

std::string DecryptStatistics(std::string_view text) {
  KeyBlock keys(kStatisticsKeySet);
  return DecryptEnvelope(text, keys.key(), keys.iv());
}

std::string Seal(std::string_view plain) {
  KeyBlock keys(kSealKeySet);
  return SealWithKeys(plain, keys.key(), keys.iv());
}

std::string Unseal(std::string_view sealed) {
  KeyBlock keys(kSealKeySet);
  return UnsealWithKeys(sealed, keys.key(), keys.iv());
}

std::string SealWithKeys(std::string_view plain, const unsigned char* key,
                         const unsigned char* iv) {
  const std::u16string check = ToHex8(Crc32(plain));
  std::string checked(plain);
  checked.append(check.begin(), check.end());  // ASCII digits
  return EncryptEnvelope(checked, key, iv);
}

std::string UnsealWithKeys(std::string_view sealed, const unsigned char* key,
                           const unsigned char* iv) {
  if (sealed.empty()) return std::string();
  const std::string opened = DecryptEnvelope(sealed, key, iv);
  if (opened.size() < kCheckSize) return std::string();
  const std::string_view plain = std::string_view(opened).substr(0, opened.size() - kCheckSize);
  std::u16string check;
  for (char c : std::string_view(opened).substr(plain.size()))
    check.push_back(static_cast<unsigned char>(c));
  if (CompareNoCase(check, ToHex8(Crc32(plain))) != 0) return std::string();
  return std::string(plain);
}

}  // namespace Kx
