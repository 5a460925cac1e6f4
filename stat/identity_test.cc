#include "stat/identity.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/registry.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "stat/fingerprint.h"
#include "tests/support/test_machine.h"
#include "win32/registry.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

constexpr char16_t kMakerKey[] = u"SOFTWARE\\ovapp";

// The raw bytes and type of the stored identity; false when there is none.
bool ReadStored(std::string* bytes, win32::DWORD* type) {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(win32::HKEY_CURRENT_USER, kMakerKey, 0, win32::KEY_READ, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  win32::DWORD size = 0;
  bool ok =
      win32::RegQueryValueExW(key, u"uuid", nullptr, type, nullptr, &size) == win32::ERROR_SUCCESS;
  if (ok) {
    bytes->assign(size, '\0');
    ok = win32::RegQueryValueExW(key, u"uuid", nullptr, type,
                                 reinterpret_cast<win32::BYTE*>(bytes->data()),
                                 &size) == win32::ERROR_SUCCESS;
  }
  win32::RegCloseKey(key);
  return ok;
}

bool WriteStored(std::string_view bytes) {
  win32::HKEY key = nullptr;
  if (win32::RegCreateKeyExW(win32::HKEY_CURRENT_USER, kMakerKey, 0, nullptr, 0,
                             win32::KEY_ALL_ACCESS, nullptr, &key, nullptr) != win32::ERROR_SUCCESS)
    return false;
  bool ok = win32::RegSetValueExW(key, u"uuid", 0, win32::REG_NONE,
                                  reinterpret_cast<const win32::BYTE*>(bytes.data()),
                                  static_cast<win32::DWORD>(bytes.size())) == win32::ERROR_SUCCESS;
  win32::RegCloseKey(key);
  return ok;
}

bool DeleteStored() {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(win32::HKEY_CURRENT_USER, kMakerKey, 0, win32::KEY_ALL_ACCESS, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  bool ok = win32::RegDeleteValueW(key, u"uuid") == win32::ERROR_SUCCESS;
  win32::RegCloseKey(key);
  return ok;
}

bool IsUpperHex32(const std::u16string& text) {
  if (text.size() != 32) return false;
  for (char16_t c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
  return true;
}

// The MD5 of a host file as the openssl command line computes it, in upper case.
std::string OpensslMd5(const std::string& path) {
  std::string command = "openssl dgst -md5 -r '" + path + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return std::string();
  char line[256] = {0};
  std::string out = std::fgets(line, sizeof line, pipe) ? line : "";
  ::pclose(pipe);
  out = out.substr(0, out.find(' '));
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    // Each test is a fresh run on its machine.
    ResetMachineUuidCacheForTesting();
  }
  void TearDown() override { ResetMachineUuidCacheForTesting(); }

  kxtest::TestMachine machine_;
};

TEST_F(IdentityTest, MachineIdentityIsTheDigestOfTheFingerprintAndSalt) {
  machine_.SetFact("bios_serial", "PF2XK3LM");
  const std::string source = MachineUuidSource();
  const std::string fingerprint =
      WideToAnsi(GetAdapterAddressText() + GetProcessorIdText() + GetBiosSerialText());
  ASSERT_FALSE(GetBiosSerialText().empty());
  ASSERT_EQ(source.size(), fingerprint.size() + 8);
  EXPECT_EQ(source.substr(0, fingerprint.size()), fingerprint);

  const std::u16string uuid = ComputeMachineUuid();
  EXPECT_TRUE(IsUpperHex32(uuid)) << win32::ToUtf8(uuid);
  const std::string file = machine_.root() + "/uuid-source.bin";
  ASSERT_TRUE(kxtest::WriteHostFile(file, source));
  EXPECT_EQ(win32::ToUtf8(uuid), OpensslMd5(file));
}

TEST_F(IdentityTest, TheCacheKeepsTheFirstComputation) {
  machine_.SetFact("bios_serial", "FIRST");
  const std::u16string first = ComputeMachineUuid();
  machine_.SetFact("bios_serial", "SECOND");
  EXPECT_EQ(ComputeMachineUuid(), first);
  ResetMachineUuidCacheForTesting();
  EXPECT_NE(ComputeMachineUuid(), first);
}

TEST_F(IdentityTest, StoredSealedAndReturnedAgain) {
  const std::u16string uuid = GetInstallUuid();
  EXPECT_EQ(uuid, ComputeMachineUuid());
  std::string stored;
  win32::DWORD type = 99;
  ASSERT_TRUE(ReadStored(&stored, &type));
  EXPECT_EQ(type, win32::REG_NONE);
  EXPECT_EQ(stored.find('\0'), std::string::npos);  // no terminating NUL
  EXPECT_EQ(Unseal(stored), WideToAnsi(uuid));
  EXPECT_EQ(GetInstallUuid(), uuid);

  // A later run with the value deleted computes the same identity and stores it again.
  ASSERT_TRUE(DeleteStored());
  ResetMachineUuidCacheForTesting();
  EXPECT_EQ(GetInstallUuid(), uuid);
  ASSERT_TRUE(ReadStored(&stored, &type));
  EXPECT_EQ(Unseal(stored), WideToAnsi(uuid));
}

TEST_F(IdentityTest, StoredValuesThatOpenAreKeptOthersReplaced) {
  const std::u16string machine_uuid = ComputeMachineUuid();
  std::string damaged = Seal("0123456789ABCDEF0123456789ABCDEF");
  damaged[10] = damaged[10] == 'A' ? 'B' : 'A';
  struct Case {
    const char* what;
    std::string stored;
    std::u16string want;  // empty: the machine identity
  };
  const std::string text71(71, 'x');
  const std::string text72(72, 'y');
  const Case cases[] = {
      {"an identity of an earlier version", Seal("OLDER-IDENTITY"), u"OLDER-IDENTITY"},
      // 108 bytes sealed: read whole.
      {"the longest value that is read", Seal(text71), win32::FromUtf8(text71)},
      // 128 bytes sealed: more than the 127 offered.
      {"a value longer than 127 bytes", Seal(text72), u""},
      {"a damaged value", damaged, u""},
      {"not sealed at all", "0123456789ABCDEF0123456789ABCDEF", u""},
      {"sealed with other keys", EncryptStatistics("0123456789ABCDEF0123456789ABCDEF00000000"),
       u""},
  };
  ASSERT_EQ(Seal(text71).size(), 108u);
  ASSERT_EQ(Seal(text72).size(), 128u);
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteStored(c.stored)) << c.what;
    const std::u16string want = c.want.empty() ? machine_uuid : c.want;
    EXPECT_EQ(GetInstallUuid(), want) << c.what;
    std::string stored;
    win32::DWORD type = 99;
    ASSERT_TRUE(ReadStored(&stored, &type)) << c.what;
    if (c.want.empty()) {
      EXPECT_EQ(Unseal(stored), WideToAnsi(machine_uuid)) << c.what;
    } else {
      EXPECT_EQ(stored, c.stored) << c.what;  // left as it was
    }
  }
}

TEST_F(IdentityTest, ThreadsAgreeOnTheFirstComputation) {
  constexpr int kThreads = 6;
  std::vector<std::u16string> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&seen, i] { seen[i] = i % 2 ? GetInstallUuid() : ComputeMachineUuid(); });
  for (std::thread& t : threads) t.join();
  for (const std::u16string& uuid : seen) EXPECT_EQ(uuid, seen[0]);
  EXPECT_TRUE(IsUpperHex32(seen[0]));
}

}  // namespace
}  // namespace Kx
