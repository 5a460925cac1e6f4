#include "base/sealed.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "base/base64.h"
#include "base/crc32.h"

namespace {

namespace fs = std::filesystem;

const unsigned char kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const unsigned char kIv[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                               0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const char kKeyHex[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kIvHex[] = "000102030405060708090a0b0c0d0e0f";

const unsigned char kOtherKey[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                     '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// A scratch folder for the openssl command line's input and output files.
class OpensslCli {
 public:
  OpensslCli() {
    std::string base = fs::temp_directory_path().string() + "/kxenc.XXXXXX";
    if (::mkdtemp(base.data())) dir_ = base;
  }
  ~OpensslCli() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // Runs "openssl enc -aes-128-cbc <options>" over `input` and returns its output file;
  // `ok` tells whether it exited with 0.
  std::string Enc(const std::string& options, const std::string& input, bool* ok) {
    const std::string in = dir_ + "/in", out = dir_ + "/out";
    std::ofstream(in, std::ios::binary) << input;
    fs::remove(out);
    const std::string command = "openssl enc -aes-128-cbc -K " + std::string(kKeyHex) + " -iv " +
                                kIvHex + " " + options + " -in " + in + " -out " + out +
                                " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    *ok = pipe && ::pclose(pipe) == 0;
    std::ifstream result(out, std::ios::binary);
    std::stringstream bytes;
    bytes << result.rdbuf();
    return bytes.str();
  }

  bool ready() const { return !dir_.empty(); }

 private:
  std::string dir_;
};

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Plain texts without zero bytes (the envelope opens only up to the first one).
std::vector<std::string> PlainTexts() {
  std::string binary = RandomBytes(100, 7);
  for (char& c : binary)
    if (c == '\0') c = '\x01';
  return {"",
          "a",
          std::string(15, 'x'),
          std::string(16, 'y'),
          std::string(17, 'z'),
          std::string(32, 'w'),
          "{\"ver\":\"1.4.1.7061\",\"ch\":\"web\"}",
          "OrvanePDF\xe8\xbd\xac\xe6\x8d\xa2\xe5\x99\xa8",  // UTF-8 Chinese
          binary};
}

TEST(EncryptEnvelope, OpensslDecryptsIt) {
  OpensslCli openssl;
  ASSERT_TRUE(openssl.ready());
  for (const std::string& plain : PlainTexts()) {
    const std::string text = Kx::EncryptEnvelope(plain, kKey, kIv);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    bool ok = false;
    // -a -A: base64 on one line; openssl checks and removes the PKCS#7 padding itself.
    EXPECT_EQ(openssl.Enc("-d -a -A", text + "\n", &ok), plain) << text;
    EXPECT_TRUE(ok) << text;
  }
}

TEST(DecryptEnvelope, OpensOpensslCiphertext) {
  OpensslCli openssl;
  ASSERT_TRUE(openssl.ready());
  for (const std::string& plain : PlainTexts()) {
    bool ok = false;
    std::string text = openssl.Enc("-a -A", plain, &ok);
    ASSERT_TRUE(ok);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_EQ(Kx::DecryptEnvelope(text, kKey, kIv), plain) << text;
    EXPECT_EQ(Kx::EncryptEnvelope(plain, kKey, kIv), text);  // CBC with a fixed vector
  }
}

TEST(EncryptEnvelope, PadsToWholeBlocks) {
  struct Case {
    size_t plain_size;
    size_t text_size;
  };
  const Case cases[] = {
      {0, 24},                       // a whole block of padding
      {1, 24},  {15, 24}, {16, 44},  // 32 ciphertext bytes
      {17, 44}, {31, 44}, {32, 64},
  };
  for (const Case& c : cases) {
    const std::string text = Kx::EncryptEnvelope(std::string(c.plain_size, 'p'), kKey, kIv);
    EXPECT_EQ(text.size(), c.text_size) << c.plain_size;
    EXPECT_EQ(Kx::Base64Decode(text).size(), (c.plain_size / 16 + 1) * 16) << c.plain_size;
  }
  EXPECT_EQ(Kx::EncryptEnvelope("", kKey, kIv).back(), '=');
}

TEST(EncryptEnvelope, NullKeyOrVectorGivesNothing) {
  EXPECT_EQ(Kx::EncryptEnvelope("abc", nullptr, kIv), "");
  EXPECT_EQ(Kx::EncryptEnvelope("abc", kKey, nullptr), "");
  const std::string text = Kx::EncryptEnvelope("abc", kKey, kIv);
  EXPECT_EQ(Kx::DecryptEnvelope(text, nullptr, kIv), "");
  EXPECT_EQ(Kx::DecryptEnvelope(text, kKey, nullptr), "");
}

TEST(DecryptEnvelope, CutsAtTheFirstZeroByte) {
  const std::string plain("before\0after", 12);
  EXPECT_EQ(Kx::DecryptEnvelope(Kx::EncryptEnvelope(plain, kKey, kIv), kKey, kIv), "before");
}

TEST(DecryptEnvelope, RefusesWhatDoesNotOpen) {
  const std::string good = Kx::EncryptEnvelope(std::string(20, 'g'), kKey, kIv);
  const std::string cipher = Kx::Base64Decode(good);
  const std::string cases[] = {
      "",
      "not base64 at all!",
      "****",
      Kx::Base64Encode(cipher.substr(0, 31)),  // not whole blocks
      Kx::Base64Encode(cipher.substr(0, 8)),
  };
  for (const std::string& text : cases) EXPECT_EQ(Kx::DecryptEnvelope(text, kKey, kIv), "") << text;
}

TEST(DecryptEnvelope, ReadsOnlyTheLastPadByte) {
  OpensslCli openssl;
  ASSERT_TRUE(openssl.ready());
  struct Case {
    std::string block;  // one plain block, enciphered without padding
    std::string want;
  };
  const Case cases[] = {
      {"abcdefghijklmno" + std::string(1, '\x10'), ""},             // nothing left
      {"abcdefghijklmno" + std::string(1, '\x20'), ""},             // more than the block
      {"abcdefghijklmn\x07\x02", "abcdefghijklmn"},                 // other pad bytes not examined
      {"abcdefghijklmn" + std::string(2, '\0'), "abcdefghijklmn"},  // pad 0, cut at zero
      {"abcdefghijklmno\x01", "abcdefghijklmno"},
  };
  for (const Case& c : cases) {
    bool ok = false;
    std::string text = openssl.Enc("-nopad -a -A", c.block, &ok);
    ASSERT_TRUE(ok);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_EQ(Kx::DecryptEnvelope(text, kKey, kIv), c.want) << c.block;
  }
}

TEST(Statistics, RoundTripUnderItsOwnKeySet) {
  const std::string body = "{\"event\":\"ZHQ_371\",\"ver\":\"1.4.1.7061\"}";
  const std::string text = Kx::EncryptStatistics(body);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(Kx::DecryptStatistics(text), body);
  EXPECT_NE(Kx::DecryptEnvelope(text, kKey, kIv), body);
  EXPECT_EQ(Kx::EncryptStatistics(""), "");
  EXPECT_EQ(Kx::DecryptStatistics(""), "");
  // The seal key set is another one.
  EXPECT_EQ(Kx::Unseal(Kx::EncryptStatistics(body)), "");
}

TEST(Seal, RoundTrips) {
  for (const std::string& plain : PlainTexts()) {
    const std::string sealed = Kx::Seal(plain);
    ASSERT_FALSE(sealed.empty());
    EXPECT_EQ(Kx::Unseal(sealed), plain) << sealed;
  }
}

TEST(Seal, AppendsTheCrcDigitsBeforeEnveloping) {
  struct Case {
    std::string plain;
    std::string opened;
  };
  const Case cases[] = {
      {"", "00000000"},
      {"123456789", "123456789CBF43926"},  // the CRC-32 check value
      {"abc", "abc352441C2"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Kx::DecryptEnvelope(Kx::SealWithKeys(c.plain, kKey, kIv), kKey, kIv), c.opened);
}

TEST(Unseal, OpensToNothingWhenAlteredOrForeign) {
  const std::string plain = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
  const std::string sealed = Kx::Seal(plain);
  // 48 ciphertext bytes: no "=" signs, so the last character carries six bits of it.
  ASSERT_EQ(sealed.size(), 64u);
  std::string changed_last = sealed;
  changed_last.back() = changed_last.back() == 'A' ? 'B' : 'A';
  const std::string cases[] = {
      "",
      changed_last,
      sealed.substr(0, sealed.size() - 4),
      Kx::SealWithKeys(plain, kKey, kIv),     // sealed with other keys
      Kx::EncryptEnvelope(plain, kKey, kIv),  // no check at all
      "garbage",
  };
  for (const std::string& text : cases) EXPECT_EQ(Kx::Unseal(text), "") << text;
}

TEST(UnsealWithKeys, ChecksTheDigitsOnly) {
  struct Case {
    std::string opened;  // what the envelope holds
    std::string want;
  };
  const Case cases[] = {
      {"abc352441c2", "abc"},  // the check ignores letter case
      {"abc352441C2", "abc"},
      {"abc352441C3", ""},  // wrong check
      {"abd352441C2", ""},  // altered text
      {"00000000", ""},     // a sealed empty text
      {"0000000", ""},      // too short for a check
      {"", ""},
  };
  for (const Case& c : cases) {
    const std::string text = Kx::EncryptEnvelope(c.opened, kKey, kIv);
    EXPECT_EQ(Kx::UnsealWithKeys(text, kKey, kIv), c.want) << c.opened;
    EXPECT_EQ(Kx::UnsealWithKeys(text, kOtherKey, kIv), "") << c.opened;
  }
}

TEST(Crc32, MatchesZlib) {
  for (size_t size : {0, 1, 2, 3, 7, 8, 15, 16, 255, 256, 1000, 65537}) {
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
    const uLong want =
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(size));
    EXPECT_EQ(Kx::Crc32(bytes), want) << size;
    // Continued over two pieces, as zlib allows.
    const size_t half = size / 3;
    EXPECT_EQ(Kx::Crc32(Kx::Crc32(0, bytes.data(), half), bytes.data() + half, size - half), want)
        << size;
  }
  EXPECT_EQ(Kx::Crc32("123456789"), 0xCBF43926u);
}

}  // namespace
