#include "base/digest.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "tests/support/test_machine.h"

namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

const char kZeros[] = "00000000000000000000000000000000";

// The MD5 functions stay loaded for the life of the process, so a test that needs them
// unloaded runs `body` in a fresh run of this program. `body` returns what went wrong, or
// nothing.
void ExpectInFreshProcess(const std::function<std::string()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string problems = body();
        std::fputs(problems.c_str(), stderr);
        std::exit(problems.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

Json::Value Missing(std::initializer_list<const char*> entries) {
  Json::Value list(Json::arrayValue);
  for (const char* entry : entries) list.append(entry);
  return list;
}

TEST(Md5Hex, GivesTheRfc1321DigestsInUpperCase) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Narrow(Kx::Md5Hex(c.input.data(), c.input.size())), c.digest) << c.input;
}

TEST(KxMd5, PiecewiseUpdatesGiveTheSameDigest) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::string data = "The quick brown fox jumps over the lazy dog, again and again.";
  Kx::KxMd5 md5;
  md5.Init();
  for (size_t at = 0; at < data.size(); at += 5)
    md5.Update(data.data() + at, std::min<size_t>(5, data.size() - at));
  unsigned char digest[16];
  ASSERT_EQ(md5.Final(digest), 16);
  EXPECT_EQ(Kx::DigestToHex(digest), Kx::Md5Hex(data.data(), data.size()));
}

TEST(DigestToHex, WritesEachByteAsTwoUpperCaseDigits) {
  const unsigned char zeros[16] = {};
  EXPECT_EQ(Narrow(Kx::DigestToHex(zeros)), kZeros);
  const unsigned char bytes[16] = {0x00, 0x01, 0x0A, 0x10, 0x7F, 0x80, 0xAB, 0xCD,
                                   0xEF, 0xF0, 0xFE, 0xFF, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(Narrow(Kx::DigestToHex(bytes)), "00010A107F80ABCDEFF0FEFF12345678");
}

TEST(Md5Hex, GivesZerosWithoutMd5Final) {
  ExpectInFreshProcess([] {
    kxtest::TestMachine machine;
    machine.SetFact("missing_exports", Missing({"cryptdll.dll!MD5Final"}));
    std::string problems;
    if (const std::string hex = Narrow(Kx::Md5Hex("abc", 3)); hex != kZeros)
      problems += "Md5Hex gave " + hex + "\n";
    Kx::KxMd5 md5;
    md5.Init();
    md5.Update("abc", 3);
    unsigned char out[16];
    std::fill(out, out + 16, 0xEE);
    if (md5.Final(out) != 0) problems += "Final did not return 0\n";
    if (std::count(out, out + 16, 0xEE) != 16) problems += "Final wrote its output\n";
    return problems;
  });
}

TEST(KxMd5, FailedLoadIsTriedAgainByTheNextConstruction) {
  ExpectInFreshProcess([] {
    kxtest::TestMachine machine;
    machine.SetFact("missing_exports", Missing({"cryptdll.dll"}));
    std::string problems;
    if (const std::string hex = Narrow(Kx::Md5Hex("abc", 3)); hex != kZeros)
      problems += "without the library: " + hex + "\n";
    machine.SetFact("missing_exports", Missing({}));
    if (const std::string hex = Narrow(Kx::Md5Hex("abc", 3));
        hex != "900150983CD24FB0D6963F7D28E17F72")
      problems += "after the library came back: " + hex + "\n";
    return problems;
  });
}

TEST(Md5Hex, FirstLoadFromSeveralThreadsAtOnce) {
  ExpectInFreshProcess([] {
    kxtest::TestMachine machine;
    constexpr int kThreads = 8;
    std::vector<std::u16string> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&results, i] {
        const std::string data = "thread " + std::to_string(i % 2);
        for (int round = 0; round < 50; ++round) results[i] = Kx::Md5Hex(data.data(), data.size());
      });
    }
    for (std::thread& t : threads) t.join();
    std::string problems;
    // Checked against OpenSSL's own MD5.
    for (int i = 0; i < kThreads; ++i) {
      const std::string data = "thread " + std::to_string(i % 2);
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
      if (results[i] != Kx::DigestToHex(digest))
        problems += "thread " + std::to_string(i) + " got " + Narrow(results[i]) + "\n";
    }
    return problems;
  });
}

TEST(Base64Encode, Rfc4648Vectors) {
  struct Case {
    const char* bytes;
    const char* text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Kx::Base64Encode(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(Kx::Base64Decode(c.text), c.bytes) << c.text;
  }
}

TEST(Base64Encode, MatchesOpensslForEveryTailLength) {
  std::mt19937 random(4648);
  for (size_t size = 0; size < 70; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string want(4 * ((size + 2) / 3) + 1, '\0');
    want.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(want.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(size)));
    EXPECT_EQ(Kx::Base64Encode(bytes), want) << size << " bytes";
    EXPECT_EQ(Kx::Base64Decode(want), bytes) << size << " bytes";
  }
}

TEST(Base64Decode, StopsAtTheFirstCharacterOutsideTheAlphabet) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  const Case cases[] = {
      {"", ""},
      {"Z", ""},         // a single leftover character gives nothing
      {"Zm9vY", "foo"},  // nor does one after whole groups
      {"Zm9", "fo"},     // unpadded tails
      {"Zm", "f"},
      {"Zm9v!Zm9v", "foo"},      // "!" ends the text
      {"Zm9vYg==Zm9v", "foob"},  // so does "="
      {"Zm=9", "f"},
      {"Zm9v\nYmFy", "foo"},  // a line break is outside the alphabet too
      {"-_-_", ""},           // the URL alphabet is not accepted
      {"+/+/", "\xfb\xff\xbf"},
      {std::string("Zm9v\0YmFy", 9), "foo"},
  };
  for (const Case& c : cases) EXPECT_EQ(Kx::Base64Decode(c.text), c.bytes) << c.text;
}

}  // namespace
