#include "win32/crypt.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "tests/support/test_machine.h"
#include "win32/modules.h"

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

// Feeds the bytes in pieces of at most `piece` bytes.
std::string Md5Of(const std::string& data, size_t piece) {
  win32::MD5_CTX context;
  win32::MD5Init(&context);
  for (size_t at = 0; at < data.size(); at += piece) {
    const size_t n = std::min(piece, data.size() - at);
    win32::MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data() + at),
                     static_cast<unsigned int>(n));
  }
  win32::MD5Final(&context);
  return Hex(context.digest, sizeof(context.digest));
}

// The digest that the openssl command line computes for the bytes.
std::string OpensslMd5(const std::string& data) {
  char path[] = "/tmp/kxmd5.XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return "mkstemp failed";
  const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  ::close(fd);
  std::string out;
  if (written) {
    const std::string command = std::string("openssl dgst -md5 -r ") + path;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char line[256];
      if (fgets(line, sizeof(line), pipe)) out.assign(line, strcspn(line, " \n"));
      ::pclose(pipe);
    }
  }
  ::unlink(path);
  return out;
}

TEST(MD5, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Md5Of(c.input, 1 << 20), c.digest) << '"' << c.input << '"';
    EXPECT_EQ(Md5Of(c.input, 1), c.digest) << '"' << c.input << "\" byte by byte";
  }
}

TEST(MD5, MatchesOpensslAcrossBlockAndPaddingBoundaries) {
  std::mt19937 random(1321);
  // Lengths around the 56-byte padding limit and the 64-byte block, and a long input.
  for (size_t size : {55, 56, 57, 63, 64, 65, 119, 120, 121, 128, 100000}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const std::string want = OpensslMd5(data);
    ASSERT_EQ(want.size(), 32u) << "openssl dgst gave '" << want << "'";
    for (size_t piece : {size_t{1}, size_t{7}, size_t{63}, size_t{64}, size})
      EXPECT_EQ(Md5Of(data, piece), want) << size << " bytes in pieces of " << piece;
  }
}

TEST(MD5, BitCountKeepsTheHighWord) {
  win32::MD5_CTX context;
  win32::MD5Init(&context);
  // 2^29 bytes are 2^32 bits: the count must carry into its second word.
  context.count[0] = 0xFFFFFFF8;  // 2^29 - 1 bytes already hashed
  const unsigned char byte = 'x';
  win32::MD5Update(&context, &byte, 1);
  EXPECT_EQ(context.count[0], 0u);
  EXPECT_EQ(context.count[1], 1u);
}

TEST(MD5, CryptdllExportsTheFunctions) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  win32::HMODULE module = win32::LoadLibraryW(u"Cryptdll.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(win32::GetProcAddress(module, "MD5Init"),
            reinterpret_cast<win32::FARPROC>(&win32::MD5Init));
  EXPECT_EQ(win32::GetProcAddress(module, "MD5Update"),
            reinterpret_cast<win32::FARPROC>(&win32::MD5Update));
  EXPECT_EQ(win32::GetProcAddress(module, "MD5Final"),
            reinterpret_cast<win32::FARPROC>(&win32::MD5Final));
  win32::FreeLibrary(module);
}

TEST(MD5, MissingExportIsNotFound) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  Json::Value missing(Json::arrayValue);
  missing.append("cryptdll.dll!MD5Final");
  machine.SetFact("missing_exports", missing);
  win32::HMODULE module = win32::LoadLibraryW(u"Cryptdll.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_NE(win32::GetProcAddress(module, "MD5Init"), nullptr);
  EXPECT_EQ(win32::GetProcAddress(module, "MD5Final"), nullptr);
  win32::FreeLibrary(module);
}

}  // namespace
