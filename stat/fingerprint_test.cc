#include "stat/fingerprint.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/handles.h"
#include "win32/processes.h"
#include "win32/unicode.h"
#include "win32/wmi.h"

namespace {

using win32::ToUtf8;

Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value list(Json::arrayValue);
  for (const Json::Value& item : items) list.append(item);
  return list;
}

Json::Value Adapter(const char* name, const char* mac) {
  Json::Value a(Json::objectValue);
  a["name"] = name;
  a["description"] = name;
  a["mac"] = mac;
  return a;
}

std::string HostFileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

win32::MachineSetup WithWmic() {
  win32::MachineSetup setup;
  setup.programs.push_back(
      {u"C:\\Windows\\System32\\wbem\\WMIC.exe", kxtest::BinDir() + "/WMIC.exe"});
  return setup;
}

size_t OpenDescriptors() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

TEST(AdapterAddress, FirstSixByteAdapterAsListed) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    const char* what;
    Json::Value adapters;
    std::u16string want;
  };
  const Case cases[] = {
      {"a virtual adapter listed first is taken",
       Array({Adapter("VMware Network Adapter VMnet8", "00-50-56-c0-00-08"),
              Adapter("Ethernet", "3C-52-82-11-22-33")}),
       u"00-50-56-C0-00-08"},
      {"adapters without a 6-byte address are passed over",
       Array({Adapter("Teredo", ""), Adapter("1394", "00-11-22-33-44-55-66-77"),
              Adapter("Wi-Fi", "a4:b1:c2:d3:e4:f5")}),
       u"A4-B1-C2-D3-E4-F5"},
      {"a list that fits the first block", Array({Adapter("", "01-02-03-04-05-06")}),
       u"01-02-03-04-05-06"},
      {"only adapters without one", Array({Adapter("Teredo", ""), Adapter("isatap", "")}), u""},
      {"no adapter at all", Json::Value(Json::arrayValue), u""},
  };
  for (const Case& c : cases) {
    machine.SetFact("adapters", c.adapters);
    EXPECT_EQ(Kx::GetAdapterAddressText(), c.want) << c.what;
  }
}

// Without the fact: the first host interface (in index order) with a 6-byte address.
TEST(AdapterAddress, HostAdapters) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  std::map<int, std::string> by_index;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    std::string dir = entry.path().string();
    if (HostFileText(dir + "/type") == "772") continue;  // loopback
    if (HostFileText(dir + "/addr_len") != "6") continue;
    by_index[std::stoi(HostFileText(dir + "/ifindex"))] = HostFileText(dir + "/address");
  }
  std::string want;
  if (!by_index.empty()) {
    for (char ch : by_index.begin()->second)
      want += ch == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  EXPECT_EQ(ToUtf8(Kx::GetAdapterAddressText()), want);
}

// The three vendor registers as the processor fills them from the vendor name: EBX holds
// its first four characters, EDX the next four, ECX the last four, each little-endian.
std::string IdFromVendor(const std::string& vendor) {
  auto word = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(vendor[at + i]);
    return v;
  };
  char text[32];
  std::snprintf(text, sizeof text, "%08X%08X%08X", word(0), word(8), word(4));
  return text;
}

TEST(ProcessorId, VendorRegistersInOrderEbxEcxEdx) {
  ASSERT_EQ(IdFromVendor("GenuineIntel"), "756E65476C65746E49656E69");
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, vendor;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("vendor_id", 0) == 0) {
      vendor = line.substr(line.find(':') + 2);
      break;
    }
  }
  ASSERT_EQ(vendor.size(), 12u) << "no vendor_id in /proc/cpuinfo";
  std::u16string id = Kx::GetProcessorIdText();
  EXPECT_EQ(id.size(), 24u);
  EXPECT_EQ(ToUtf8(id), IdFromVendor(vendor)) << vendor;
}

TEST(BiosSerial, FromWmicOutput) {
  kxtest::TestMachine machine(WithWmic());
  ASSERT_TRUE(machine.ok());
  struct Case {
    const char* what;
    const char* fact;
    const char* value;
    std::u16string want;
  };
  const Case cases[] = {
      {"the default serial", nullptr, nullptr, u"PF2XK3LM"},
      {"inner blanks are removed", "bios_serial", "PF 2X  K3 LM", u"PF2XK3LM"},
      {"a serial in the ANSI code page", "bios_serial", "序列号 7", u"序列号7"},
      {"no SerialNumber header", "bios_serial_output", "PF2XK3LM  \r\r\n\r\r\n", u""},
      {"the header in another case", "bios_serial_output", "serialnumber\r\nAB\r\n", u""},
      {"text after the header is kept", "bios_serial_output", "xSerialNumber\r\nA\tB\r\n", u"A\tB"},
      {"no output at all", "bios_serial_output", "", u""},
  };
  for (const Case& c : cases) {
    if (c.fact) machine.SetFact(c.fact, c.value);
    size_t descriptors = OpenDescriptors();
    EXPECT_EQ(Kx::GetBiosSerialText(), c.want) << c.what;
    EXPECT_EQ(OpenDescriptors(), descriptors) << c.what << ": a pipe end was left open";
  }
}

TEST(OsVersion, NamesAndNumbers) {
  struct Case {
    const char* version;
    std::u16string name, text;
  };
  const Case cases[] = {
      {"10.0.19045", u"WIN10", u"10.0.19045"}, {"10.0.22631", u"WIN10", u"10.0.22631"},
      {"6.0.6002", u"WINVISTA", u"6.0.6002"},  {"6.1.7601", u"WIN7", u"6.1.7601"},
      {"6.2.9200", u"WIN8", u"6.2.9200"},      {"6.3.9600", u"WIN8.1", u"6.3.9600"},
      {"6.4.9841", u"WINUNKOWN", u"6.4.9841"}, {"5.0.2195", u"WIN2000", u"5.0.2195"},
      {"5.1.2600", u"WINXP", u"5.1.2600"},     {"5.2.3790", u"WINXP64", u"5.2.3790"},
      {"5.3.0", u"WINUNKOWN", u"5.3.0"},       {"4.0.1381", u"WINUNKOWN", u"4.0.1381"},
  };
  for (const Case& c : cases) {
    win32::MachineSetup setup;
    setup.windows_version = c.version;
    kxtest::TestMachine machine(setup);
    ASSERT_TRUE(machine.ok());
    EXPECT_EQ(Kx::GetOsName(), c.name) << c.version;
    EXPECT_EQ(Kx::GetOsVersionText(), c.text) << c.version;
  }
}

TEST(OsVersion, MissingFunctionGivesEmptyAndZeros) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  for (const char* missing : {"ntdll.dll!RtlGetNtVersionNumbers", "ntdll.dll"}) {
    machine.SetFact("missing_exports", Array({missing}));
    EXPECT_EQ(Kx::GetOsName(), u"") << missing;
    EXPECT_EQ(Kx::GetOsVersionText(), u"0.0.0") << missing;
  }
}

TEST(WordSize, NativeArchitecture) {
  struct Case {
    const char* arch;
    const char* missing;  // an export taken away, or null
    int32_t want;
  };
  const Case cases[] = {
      {"x64", nullptr, 1},
      {"x86", nullptr, 0},
      {"arm64", nullptr, 0},
      // Without GetNativeSystemInfo a 32-bit process sees the WOW64 view.
      {"x64", "kernel32.dll!GetNativeSystemInfo", 0},
  };
  for (const Case& c : cases) {
    win32::MachineSetup setup;
    if (std::string(c.arch) == "x86") setup.arch = "x86";
    kxtest::TestMachine machine(setup);
    ASSERT_TRUE(machine.ok());
    machine.SetFact("arch", c.arch);
    if (c.missing) machine.SetFact("missing_exports", Array({c.missing}));
    EXPECT_EQ(Kx::Is64BitOs(), c.want) << c.arch << (c.missing ? c.missing : "");
  }
}

TEST(Memory, TotalAndFallback) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    uint64_t fact;
    const char* missing;
    uint64_t want;
  };
  const Case cases[] = {
      {17179869184ull, nullptr, 17179869184ull},
      {17179869183ull, nullptr, 17179869183ull},
      // GlobalMemoryStatus: 32 bits, an overflow reads as all ones.
      {17179869184ull, "kernel32.dll!GlobalMemoryStatusEx", 0xFFFFFFFFull},
      {3221225472ull, "kernel32.dll!GlobalMemoryStatusEx", 3221225472ull},
  };
  for (const Case& c : cases) {
    machine.SetFact("memory_bytes", Json::UInt64(c.fact));
    machine.SetFact("missing_exports",
                    c.missing ? Array({c.missing}) : Json::Value(Json::arrayValue));
    EXPECT_EQ(Kx::GetTotalMemory(), c.want) << c.fact;
  }
  machine.SetFact("missing_exports", Json::Value(Json::arrayValue));
  machine.SetFact("memory_bytes", Json::UInt64(17179869184ull));
  EXPECT_EQ(Kx::GetTotalMemory() >> 30, 16u);
  machine.SetFact("memory_bytes", Json::UInt64(17179869183ull));
  EXPECT_EQ(Kx::GetTotalMemory() >> 30, 15u);
}

TEST(Processors, CountOfGetSystemInfo) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  machine.SetFact("processors", 12);
  EXPECT_EQ(Kx::GetProcessorCount(), 12);
  machine.SetFact("processors", 40);
  EXPECT_EQ(Kx::GetProcessorCount(), 32);  // a 32-bit process on 64-bit Windows
}

Json::Value Wmi(const char* cls, const char* property, const char* value) {
  Json::Value object(Json::objectValue);
  object[property] = value;
  Json::Value wmi(Json::objectValue);
  wmi[cls] = Array({object});
  return wmi;
}

TEST(VirtualMachine, WmiAnswers) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    const char* what;
    Json::Value wmi;
    uint8_t want;
  };
  const Case cases[] = {
      {"a physical machine", Json::Value(Json::objectValue), 0},
      {"VMware disk", Wmi("Win32_DiskDrive", "Model", "VMware Virtual disk SCSI Disk Device"), 1},
      {"vmware video, any case", Wmi("Win32_VideoController", "Description", "vmware svga 3d"), 1},
      {"VMware network adapter",
       Wmi("Win32_NetworkAdapter", "Description", "VMware VMXNET3 Ethernet"), 1},
      {"VirtualBox is not asked of WMI", Wmi("Win32_DiskDrive", "Model", "VBOX HARDDISK"), 0},
      {"the word in another property", Wmi("Win32_DiskDrive", "Caption", "VMware disk"), 0},
      {"WMI disabled", Json::Value(false), 0},
  };
  for (const Case& c : cases) {
    machine.SetFact("wmi", c.wmi);
    EXPECT_EQ(Kx::IsVirtualMachine(), c.want) << c.what;
    EXPECT_EQ(win32::WbemObjectCount(), 0u) << c.what;
  }
  // COM was uninitialised again: this thread starts afresh.
  EXPECT_EQ(win32::CoInitializeEx(nullptr, win32::COINIT_MULTITHREADED), win32::S_OK);
  win32::CoUninitialize();
}

TEST(VirtualMachine, CallerApartmentIsLeftAlone) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  machine.SetFact("wmi", Wmi("Win32_DiskDrive", "Model", "VMware Virtual disk"));
  ASSERT_EQ(win32::CoInitializeEx(nullptr, win32::COINIT_APARTMENTTHREADED), win32::S_OK);
  EXPECT_EQ(Kx::IsVirtualMachine(), 1);  // its own initialisation fails with the other model
  EXPECT_EQ(win32::CoInitializeEx(nullptr, win32::COINIT_APARTMENTTHREADED), win32::S_FALSE);
  win32::CoUninitialize();
  win32::CoUninitialize();
}

TEST(VirtualMachine, ToolsProcessWithoutWmi) {
  win32::MachineSetup setup;
  setup.programs.push_back({u"C:\\Windows\\vmtoolsd.exe", "/bin/sleep"});
  kxtest::TestMachine machine(setup);
  ASSERT_TRUE(machine.ok());
  machine.SetFact("wmi", false);  // only the process list can tell
  EXPECT_EQ(Kx::IsVirtualMachine(), 0);

  std::u16string line = u"VMTOOLSD.EXE 30";
  win32::STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  win32::PROCESS_INFORMATION info = {};
  ASSERT_TRUE(win32::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win32::FALSE, 0,
                                    nullptr, nullptr, &startup, &info));
  EXPECT_EQ(Kx::IsVirtualMachine(), 1);
  EXPECT_TRUE(win32::TerminateProcess(info.hProcess, 0));
  EXPECT_EQ(win32::WaitForSingleObject(info.hProcess, 10000), win32::WAIT_OBJECT_0);
  win32::CloseHandle(info.hProcess);
  win32::CloseHandle(info.hThread);
  EXPECT_EQ(Kx::IsVirtualMachine(), 0);
  EXPECT_EQ(win32::WbemObjectCount(), 0u);
}

// The functions keep no shared state: calls on several threads at once agree.
TEST(Fingerprint, CallsFromSeveralThreads) {
  kxtest::TestMachine machine(WithWmic());
  ASSERT_TRUE(machine.ok());
  machine.SetFact("wmi", Wmi("Win32_DiskDrive", "Model", "VMware Virtual disk"));
  machine.SetFact("adapters", Array({Adapter("Ethernet", "3C-52-82-11-22-33")}));
  std::u16string serial[3], mac[3];
  uint8_t vm[3] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      serial[i] = Kx::GetBiosSerialText();
      mac[i] = Kx::GetAdapterAddressText();
      vm[i] = Kx::IsVirtualMachine();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(serial[i], u"PF2XK3LM");
    EXPECT_EQ(mac[i], u"3C-52-82-11-22-33");
    EXPECT_EQ(vm[i], 1);
  }
  EXPECT_EQ(win32::WbemObjectCount(), 0u);
}

TEST(IeVersion, AlwaysEmpty) { EXPECT_EQ(Kx::GetIeVersionText(), u""); }

}  // namespace
