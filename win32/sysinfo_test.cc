#include "win32/sysinfo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/desktop.h"
#include "win32/io.h"
#include "win32/modules.h"
#include "win32/processes.h"
#include "win32/toolhelp.h"
#include "win32/unicode.h"
#include "win32/wmi.h"

namespace {

using namespace win32;

Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value list(Json::arrayValue);
  for (const Json::Value& item : items) list.append(item);
  return list;
}

Json::Value Adapter(const char* name, const char* description, const char* mac) {
  Json::Value a(Json::objectValue);
  a["name"] = name;
  a["description"] = description;
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

std::string Hex(const BYTE* bytes, ULONG size, char separator) {
  std::string text;
  char part[4];
  for (ULONG i = 0; i < size; ++i) {
    std::snprintf(part, sizeof part, "%02x", bytes[i]);
    if (i) text += separator;
    text += part;
  }
  return text;
}

// --- Processor and memory --------------------------------------------------------------

TEST(SystemInfo, ArchitectureAsTheProcessSeesIt) {
  struct Case {
    const char* arch;
    int bits;
    WORD process_view, native_view;
  };
  const Case cases[] = {
      {"x64", 32, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_AMD64},  // WOW64
      {"x64", 64, PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_AMD64},
      {"x86", 32, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_INTEL},
  };
  for (const Case& c : cases) {
    MachineSetup setup;
    setup.arch = c.arch;
    kxtest::TestProcess process;
    process.bits = c.bits;
    kxtest::TestMachine machine(setup, process);
    ASSERT_TRUE(machine.ok());
    SYSTEM_INFO info, native;
    std::memset(&info, 0xAB, sizeof info);
    std::memset(&native, 0xAB, sizeof native);
    GetSystemInfo(&info);
    GetNativeSystemInfo(&native);
    EXPECT_EQ(info.wProcessorArchitecture, c.process_view) << c.arch << " " << c.bits;
    EXPECT_EQ(native.wProcessorArchitecture, c.native_view) << c.arch << " " << c.bits;
    EXPECT_EQ(info.dwPageSize, 4096u);
    EXPECT_EQ(info.dwAllocationGranularity, 65536u);
    EXPECT_EQ(info.wReserved, 0);
  }
}

TEST(SystemInfo, ProcessorCountFromMachineOrHost) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  // The host's online processors, counted from /proc/cpuinfo.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  DWORD host = 0;
  while (std::getline(cpuinfo, line))
    if (line.rfind("processor", 0) == 0) ++host;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwNumberOfProcessors, host);

  machine.SetFact("processors", 6);
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwNumberOfProcessors, 6u);
  EXPECT_EQ(info.dwActiveProcessorMask, 0x3Fu);

  // A 32-bit process sees at most 32 processors.
  machine.SetFact("processors", 48);
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwNumberOfProcessors, 32u);
  EXPECT_EQ(info.dwActiveProcessorMask, 0xFFFFFFFFu);
}

TEST(MemoryStatus, TotalsFromMachineAndHost) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  // Host total from /proc/meminfo.
  std::ifstream meminfo("/proc/meminfo");
  std::string name;
  uint64_t kib = 0;
  meminfo >> name >> kib;
  ASSERT_EQ(name, "MemTotal:");
  MEMORYSTATUSEX ex;
  std::memset(&ex, 0, sizeof ex);
  ex.dwLength = sizeof ex;
  ASSERT_TRUE(GlobalMemoryStatusEx(&ex));
  EXPECT_EQ(ex.ullTotalPhys, kib * 1024);
  EXPECT_LE(ex.ullAvailPhys, ex.ullTotalPhys);
  EXPECT_LE(ex.dwMemoryLoad, 100u);
  EXPECT_EQ(ex.ullTotalVirtual, 0x7FFE0000u);  // a 32-bit process

  struct Case {
    uint64_t fact;
    DWORD total32;
  };
  const Case cases[] = {
      {17179869184ull, 0xFFFFFFFFu},  // 16 GiB overflows the 32-bit structure
      {4294967296ull, 0xFFFFFFFFu},
      {4294967295ull, 0xFFFFFFFFu},
      {3221225472ull, 3221225472u},
  };
  for (const Case& c : cases) {
    machine.SetFact("memory_bytes", Json::UInt64(c.fact));
    std::memset(&ex, 0, sizeof ex);
    ex.dwLength = sizeof ex;
    ASSERT_TRUE(GlobalMemoryStatusEx(&ex));
    EXPECT_EQ(ex.ullTotalPhys, c.fact);
    EXPECT_LE(ex.ullAvailPhys, c.fact);
    MEMORYSTATUS status;
    std::memset(&status, 0, sizeof status);
    GlobalMemoryStatus(&status);
    EXPECT_EQ(status.dwLength, 32u);
    EXPECT_EQ(status.dwTotalPhys, c.total32) << c.fact;
  }
}

TEST(MemoryStatus, WrongLengthIsRefused) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  MEMORYSTATUSEX ex;
  std::memset(&ex, 0x5A, sizeof ex);
  ex.dwLength = 32;
  SetLastError(0);
  EXPECT_FALSE(GlobalMemoryStatusEx(&ex));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ex.ullTotalPhys, 0x5A5A5A5A5A5A5A5Aull);  // untouched
}

// --- Version and name ------------------------------------------------------------------

TEST(NtVersion, BuildCarriesTheFlagBits) {
  struct Case {
    const char* version;
    DWORD major, minor, build;
  };
  const Case cases[] = {
      {"10.0.19045", 10, 0, 0xF0000000u | 19045},
      {"10.0.22631", 10, 0, 0xF0000000u | 22631},
      {"6.1.7601", 6, 1, 0xF0001DB1u},
      {"5.1.2600", 5, 1, 0xF0000A28u},
  };
  for (const Case& c : cases) {
    MachineSetup setup;
    setup.windows_version = c.version;
    kxtest::TestMachine machine(setup);
    ASSERT_TRUE(machine.ok());
    DWORD major = 0, minor = 0, build = 0;
    RtlGetNtVersionNumbers(&major, &minor, &build);
    EXPECT_EQ(major, c.major) << c.version;
    EXPECT_EQ(minor, c.minor) << c.version;
    EXPECT_EQ(build, c.build) << c.version;
    RtlGetNtVersionNumbers(nullptr, &minor, nullptr);  // null pointers are skipped
    EXPECT_EQ(minor, c.minor);
  }
}

TEST(NtVersion, ExportsAreFoundAndCanGoMissing) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Export {
    const char16_t* module;
    const char* name;
    FARPROC proc;
  };
  const Export exports[] = {
      {u"ntdll.dll", "RtlGetNtVersionNumbers", reinterpret_cast<FARPROC>(&RtlGetNtVersionNumbers)},
      {u"kernel32.dll", "GlobalMemoryStatusEx", reinterpret_cast<FARPROC>(&GlobalMemoryStatusEx)},
      {u"kernel32", "GetNativeSystemInfo", reinterpret_cast<FARPROC>(&GetNativeSystemInfo)},
      {u"iphlpapi.dll", "GetAdaptersAddresses", reinterpret_cast<FARPROC>(&GetAdaptersAddresses)},
  };
  for (const Export& e : exports) {
    HMODULE module = LoadLibraryW(e.module);
    ASSERT_NE(module, nullptr) << e.name;
    EXPECT_EQ(GetProcAddress(module, e.name), e.proc) << e.name;
    FreeLibrary(module);
  }
  machine.SetFact("missing_exports", Array({"ntdll.dll!RtlGetNtVersionNumbers"}));
  HMODULE ntdll = LoadLibraryW(u"ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "RtlGetNtVersionNumbers"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  FreeLibrary(ntdll);
}

TEST(ComputerName, FromMachineWithWindowsBufferRules) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  char16_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  std::u16string derived(name, size);
  EXPECT_EQ(derived.rfind(u"DESKTOP-", 0), 0u);
  EXPECT_EQ(derived.size(), 15u);

  machine.SetFact("computer_name", "WORKSTATION7");
  size = 5;
  std::fill(std::begin(name), std::end(name), u'#');
  EXPECT_FALSE(GetComputerNameW(name, &size));
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 13u);  // with the NUL
  EXPECT_EQ(name[0], u'#');
  size = 13;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::u16string(name), u"WORKSTATION7");
}

// --- Network adapters ------------------------------------------------------------------

TEST(AdaptersAddresses, MachineListInCallerBuffer) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  Json::Value tunnel = Adapter("Teredo", "Teredo Tunneling Pseudo-Interface", "");
  tunnel["if_type"] = 131;
  tunnel["up"] = false;
  machine.SetFact(
      "adapters",
      Array({Adapter("Ethernet", "Intel(R) Ethernet Connection I219-V", "0a-1b-2c-3d-4e-5f"),
             tunnel, Adapter("Wi-Fi 中文", "Wireless", "00:11:22:33:44:55")}));
  ULONG size = 0;
  EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr, nullptr, &size),
            ERROR_BUFFER_OVERFLOW);
  ASSERT_GT(size, 3 * sizeof(IP_ADAPTER_ADDRESSES));
  const ULONG needed = size;

  // One byte short still overflows and asks for the same size.
  std::vector<BYTE> block(needed + 64, 0xCD);
  size = needed - 1;
  EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr,
                                 reinterpret_cast<PIP_ADAPTER_ADDRESSES>(block.data()), &size),
            ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(block[0], 0xCD);

  size = needed;
  auto* list = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(block.data());
  ASSERT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr, list, &size), ERROR_SUCCESS);
  for (size_t i = needed; i < block.size(); ++i) ASSERT_EQ(block[i], 0xCD) << "wrote past the size";

  std::vector<const IP_ADAPTER_ADDRESSES*> entries;
  for (const IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
    const BYTE* at = reinterpret_cast<const BYTE*>(a);
    ASSERT_GE(at, block.data());
    ASSERT_LE(at + sizeof *a, block.data() + needed);
    entries.push_back(a);
  }
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0]->Length, sizeof(IP_ADAPTER_ADDRESSES));
  EXPECT_EQ(std::u16string(entries[0]->FriendlyName), u"Ethernet");
  EXPECT_EQ(std::u16string(entries[0]->Description), u"Intel(R) Ethernet Connection I219-V");
  EXPECT_EQ(std::u16string(entries[0]->DnsSuffix), u"");
  EXPECT_EQ(Hex(entries[0]->PhysicalAddress, entries[0]->PhysicalAddressLength, '-'),
            "0a-1b-2c-3d-4e-5f");
  EXPECT_EQ(entries[0]->IfType, IF_TYPE_ETHERNET_CSMACD);
  EXPECT_EQ(entries[0]->OperStatus, IfOperStatusUp);
  std::string guid = entries[0]->AdapterName;
  EXPECT_EQ(guid.size(), 38u);
  EXPECT_EQ(guid.front(), '{');
  EXPECT_EQ(guid.back(), '}');

  EXPECT_EQ(entries[1]->PhysicalAddressLength, 0u);
  EXPECT_EQ(entries[1]->IfType, IF_TYPE_TUNNEL);
  EXPECT_EQ(entries[1]->OperStatus, IfOperStatusDown);
  EXPECT_NE(std::string(entries[1]->AdapterName), guid);

  EXPECT_EQ(std::u16string(entries[2]->FriendlyName), u"Wi-Fi 中文");
  EXPECT_EQ(Hex(entries[2]->PhysicalAddress, entries[2]->PhysicalAddressLength, '-'),
            "00-11-22-33-44-55");
}

TEST(AdaptersAddresses, Errors) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  ULONG size = 0;
  EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetAdaptersAddresses(99, 0, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  machine.SetFact("adapters", Json::Value(Json::arrayValue));
  size = 4096;
  std::vector<BYTE> block(size, 0xCD);
  EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr,
                                 reinterpret_cast<PIP_ADAPTER_ADDRESSES>(block.data()), &size),
            ERROR_NO_DATA);
  EXPECT_EQ(block[0], 0xCD);
}

// Without the fact, the host's interfaces in index order, checked against /sys/class/net.
TEST(AdaptersAddresses, HostInterfaces) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  std::map<int, std::string> host;  // ifindex -> name
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    std::string name = entry.path().filename().string();
    host[std::stoi(HostFileText(entry.path().string() + "/ifindex"))] = name;
  }
  ULONG size = 0;
  ASSERT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr, nullptr, &size),
            ERROR_BUFFER_OVERFLOW);
  std::vector<BYTE> block(size);
  auto* list = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(block.data());
  ASSERT_EQ(GetAdaptersAddresses(AF_UNSPEC_FAMILY, 0, nullptr, list, &size), ERROR_SUCCESS);
  auto it = host.begin();
  for (const IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next, ++it) {
    ASSERT_NE(it, host.end());
    EXPECT_EQ(a->IfIndex, static_cast<DWORD>(it->first));
    std::string dir = "/sys/class/net/" + it->second;
    if (HostFileText(dir + "/type") == "772") {  // ARPHRD_LOOPBACK
      EXPECT_EQ(a->IfType, IF_TYPE_SOFTWARE_LOOPBACK);
      EXPECT_EQ(a->PhysicalAddressLength, 0u);
      EXPECT_EQ(std::u16string(a->FriendlyName).rfind(u"Loopback Pseudo-Interface", 0), 0u);
      continue;
    }
    EXPECT_EQ(ToUtf8(a->FriendlyName), it->second);
    EXPECT_EQ(std::to_string(a->PhysicalAddressLength), HostFileText(dir + "/addr_len"));
    EXPECT_EQ(Hex(a->PhysicalAddress, a->PhysicalAddressLength, ':'),
              HostFileText(dir + "/address"));
    EXPECT_EQ(std::to_string(a->Mtu), HostFileText(dir + "/mtu"));
  }
  EXPECT_EQ(it, host.end());
}

// --- Pipes -----------------------------------------------------------------------------

TEST(Pipe, ReadWriteAndBrokenEnds) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  HANDLE read_end = nullptr, write_end = nullptr;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &sa, 0));
  for (HANDLE h : {read_end, write_end}) {
    int fd = LookupHandle(h)->HostFd();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  DWORD n = 77;
  ASSERT_TRUE(WriteFile(write_end, "hello", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(read_end, buffer, 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buffer, 3), "hel");
  ASSERT_TRUE(ReadFile(read_end, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "lo");

  // All writers gone: the read fails with ERROR_BROKEN_PIPE and reads nothing.
  ASSERT_TRUE(CloseHandle(write_end));
  n = 77;
  EXPECT_FALSE(ReadFile(read_end, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(CloseHandle(read_end));
  EXPECT_FALSE(ReadFile(read_end, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // No reader: the write fails with ERROR_NO_DATA and the process lives on.
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  ASSERT_TRUE(CloseHandle(read_end));
  n = 77;
  EXPECT_FALSE(WriteFile(write_end, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(CloseHandle(write_end));
}

TEST(Pipe, HandlesWithoutDescriptorAndBadArguments) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  EXPECT_FALSE(CreatePipe(nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  char buffer[4];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(snapshot, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(snapshot, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(snapshot);
}

// --- The WMIC.exe stand-in -------------------------------------------------------------

struct RunResult {
  bool started = false;
  std::string out, err;
  DWORD exit_code = 0;
};

std::string ReadAll(HANDLE pipe) {
  std::string text;
  char buffer[512];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n) text.append(buffer, n);
  return text;
}

// Runs a command line in the machine with its output and errors on two pipes.
RunResult RunInMachine(std::u16string command_line) {
  RunResult result;
  HANDLE out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read, &out_write, nullptr, 0)) return result;
  if (!CreatePipe(&err_read, &err_write, nullptr, 0)) return result;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION info;
  result.started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &info);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (result.started) {
    result.out = ReadAll(out_read);
    result.err = ReadAll(err_read);
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &result.exit_code);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
  }
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

MachineSetup WithWmic() {
  MachineSetup setup;
  setup.programs.push_back(
      {u"C:\\Windows\\System32\\wbem\\WMIC.exe", kxtest::BinDir() + "/WMIC.exe"});
  return setup;
}

TEST(WmicStandIn, PrintsTheSerialColumnAsWindowsDoes) {
  kxtest::TestMachine machine(WithWmic());
  ASSERT_TRUE(machine.ok());
  struct Case {
    const char* serial;  // null: the default
    std::string want;
  };
  const Case cases[] = {
      {nullptr, "SerialNumber  \r\r\nPF2XK3LM      \r\r\n\r\r\n"},
      {"PF 2X K3", "SerialNumber  \r\r\nPF 2X K3      \r\r\n\r\r\n"},
      {"0123456789ABCDEF", "SerialNumber      \r\r\n0123456789ABCDEF  \r\r\n\r\r\n"},
      {"", "SerialNumber  \r\r\n              \r\r\n\r\r\n"},
      // The ANSI code page of the machine (936): GBK bytes.
      {"序1", std::string("SerialNumber  \r\r\n") +
                  "\xD0\xF2"
                  "1" +
                  std::string(12, ' ') + "\r\r\n\r\r\n"},
  };
  for (const Case& c : cases) {
    if (c.serial) machine.SetFact("bios_serial", c.serial);
    RunResult r = RunInMachine(u"wmic bios get SerialNumber");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.out, c.want) << (c.serial ? c.serial : "default");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0u);
  }
  machine.SetFact("bios_serial_output", "PF2XK3LM\r\r\n");
  RunResult raw = RunInMachine(u"WMIC.exe BIOS GET serialnumber");
  EXPECT_EQ(raw.out, "PF2XK3LM\r\r\n");

  bool logged = false;
  for (const Json::Value& entry : ReadDesktopLog(machine.root()))
    if (entry["kind"] == "program" && entry["command_line"] == "WMIC.exe BIOS GET serialnumber")
      logged = entry["image"] == "WMIC.exe";
  EXPECT_TRUE(logged);
}

TEST(WmicStandIn, OtherQueriesAreInvalid) {
  kxtest::TestMachine machine(WithWmic());
  ASSERT_TRUE(machine.ok());
  machine.SetFact("computer_name", "DESKTOP-TEST01");
  for (const char16_t* line :
       {u"wmic bios get Manufacturer", u"wmic cpu get ProcessorId", u"wmic"}) {
    RunResult r = RunInMachine(line);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Node - DESKTOP-TEST01\r\r\nERROR:\r\r\nDescription = Invalid query\r\r\n");
    EXPECT_EQ(r.exit_code, 0x80041017u);
  }
}

// --- COM and WMI -----------------------------------------------------------------------

// Releases a COM pointer at the end of a scope.
template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

struct Bstr {
  explicit Bstr(const char16_t* text) : b(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(b); }
  BSTR b;
};

struct Apartment {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ~Apartment() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
};

HRESULT Connect(IWbemServices** services) {
  Held<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator.p));
  if (FAILED(hr)) return hr;
  Bstr ns(u"ROOT\\CIMV2");
  return locator->ConnectServer(ns.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services);
}

// The text of one property of each instance of a class.
std::vector<std::u16string> Query(IWbemServices* services, const char16_t* cls,
                                  const char16_t* prop) {
  std::vector<std::u16string> texts;
  Bstr wql(u"WQL");
  Bstr query((u"SELECT * FROM " + std::u16string(cls)).c_str());
  Held<IEnumWbemClassObject> e;
  EXPECT_EQ(
      services->ExecQuery(wql.b, query.b, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                          nullptr, &e.p),
      WBEM_S_NO_ERROR);
  if (!e.p) return texts;
  for (;;) {
    Held<IWbemClassObject> object;
    ULONG returned = 7;
    HRESULT hr = e->Next(WBEM_INFINITE, 1, &object.p, &returned);
    if (returned == 0) {
      EXPECT_EQ(hr, WBEM_S_FALSE);
      break;
    }
    EXPECT_EQ(hr, WBEM_S_NO_ERROR);
    VARIANT v;
    VariantInit(&v);
    CIMTYPE type = -1;
    EXPECT_EQ(object->Get(prop, 0, &v, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(type, CIM_STRING);
    if (v.vt == VT_BSTR) texts.emplace_back(v.bstrVal, SysStringLen(v.bstrVal));
    VariantClear(&v);
  }
  return texts;
}

TEST(Wmi, DefaultsDescribeAPhysicalMachine) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  {
    Apartment apartment;
    ASSERT_EQ(apartment.hr, S_OK);
    Held<IWbemServices> services;
    ASSERT_EQ(Connect(&services.p), WBEM_S_NO_ERROR);
    EXPECT_EQ(
        CoSetProxyBlanket(services.p, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                          RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
        S_OK);
    struct Case {
      const char16_t* cls;
      const char16_t* prop;
    };
    for (Case c :
         {Case{u"Win32_VideoController", u"Description"},
          Case{u"win32_networkadapter", u"DESCRIPTION"}, Case{u"Win32_DiskDrive", u"Model"}}) {
      std::vector<std::u16string> texts = Query(services.p, c.cls, c.prop);
      ASSERT_EQ(texts.size(), 1u) << ToUtf8(c.cls);
      EXPECT_FALSE(texts[0].empty());
      EXPECT_EQ(Fold(texts[0]).find(u"VMWARE"), std::u16string::npos) << ToUtf8(texts[0]);
    }
    EXPECT_EQ(Query(services.p, u"Win32_BIOS", u"SerialNumber"),
              std::vector<std::u16string>{u"PF2XK3LM"});
  }
  EXPECT_EQ(WbemObjectCount(), 0u);
}

TEST(Wmi, MachineAnswersAndTypes) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  Json::Value wmi(Json::objectValue);
  Json::Value disk1(Json::objectValue), disk2(Json::objectValue);
  disk1["Model"] = "VMware Virtual disk SCSI Disk Device";
  disk1["Index"] = 0;
  disk1["Size"] = Json::UInt64(500107862016ull);
  disk1["MediaLoaded"] = true;
  disk1["SerialNumber"] = Json::Value();
  disk2["Model"] = "WDC WD10EZEX";
  wmi["Win32_DiskDrive"] = Array({disk1, disk2});
  wmi["Win32_VideoController"] = Json::Value(Json::arrayValue);
  machine.SetFact("wmi", wmi);
  {
    Apartment apartment;
    Held<IWbemServices> services;
    ASSERT_EQ(Connect(&services.p), WBEM_S_NO_ERROR);
    EXPECT_EQ(
        Query(services.p, u"Win32_DiskDrive", u"Model"),
        (std::vector<std::u16string>{u"VMware Virtual disk SCSI Disk Device", u"WDC WD10EZEX"}));
    EXPECT_TRUE(Query(services.p, u"Win32_VideoController", u"Description").empty());
    // Classes the machine does not list keep their defaults.
    EXPECT_EQ(Query(services.p, u"Win32_NetworkAdapter", u"Description").size(), 1u);

    Bstr wql(u"WQL"), query(u"  select   *  from Win32_DiskDrive ");
    Held<IEnumWbemClassObject> e;
    ASSERT_EQ(services->ExecQuery(wql.b, query.b, 0, nullptr, &e.p), WBEM_S_NO_ERROR);
    IWbemClassObject* objects[3] = {nullptr, nullptr, nullptr};
    ULONG returned = 0;
    EXPECT_EQ(e->Next(WBEM_INFINITE, 3, objects, &returned), WBEM_S_FALSE);
    ASSERT_EQ(returned, 2u);
    EXPECT_EQ(objects[2], nullptr);
    Held<IWbemClassObject> first{objects[0]}, second{objects[1]};

    VARIANT v;
    VariantInit(&v);
    CIMTYPE type = 0;
    ASSERT_EQ(first->Get(u"index", 0, &v, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 0);
    EXPECT_EQ(type, CIM_SINT32);
    ASSERT_EQ(first->Get(u"Size", 0, &v, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_BSTR);  // 64-bit values come as text, as WMI gives them
    EXPECT_EQ(std::u16string(v.bstrVal), u"500107862016");
    EXPECT_EQ(type, CIM_UINT64);
    VariantClear(&v);
    ASSERT_EQ(first->Get(u"MediaLoaded", 0, &v, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_BOOL);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    ASSERT_EQ(first->Get(u"SerialNumber", 0, &v, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_NULL);
    v.vt = VT_I4;
    v.lVal = 99;
    EXPECT_EQ(second->Get(u"Index", 0, &v, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(v.lVal, 99);  // left as it was
    VariantClear(&v);

    void* same = nullptr;
    EXPECT_EQ(first->QueryInterface(IID_IWbemClassObject, &same), S_OK);
    EXPECT_EQ(same, static_cast<void*>(first.p));
    first->Release();
    void* other = &same;
    EXPECT_EQ(first->QueryInterface(IID_IWbemLocator, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
  }
  EXPECT_EQ(WbemObjectCount(), 0u);
}

TEST(Wmi, Failures) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  void* object = &machine;
  EXPECT_EQ(
      CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object),
      CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
  {
    Apartment apartment;
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_LOCAL_SERVER, IID_IWbemLocator,
                               &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(IID_IWbemServices, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemServices,
                               &object),
              E_NOINTERFACE);
    EXPECT_EQ(CoSetProxyBlanket(nullptr, 0, 0, nullptr, 0, 0, nullptr, 0), E_INVALIDARG);

    Held<IWbemLocator> locator;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator.p)),
              S_OK);
    Bstr other_ns(u"ROOT\\DEFAULT"), local_ns(u"\\\\.\\root\\cimv2"), user(u"bob");
    IWbemServices* services = reinterpret_cast<IWbemServices*>(&machine);
    EXPECT_EQ(locator->ConnectServer(other_ns.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     &services),
              WBEM_E_INVALID_NAMESPACE);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(locator->ConnectServer(local_ns.b, user.b, nullptr, nullptr, 0, nullptr, nullptr,
                                     &services),
              WBEM_E_LOCAL_CREDENTIALS);

    Held<IWbemServices> connected;
    ASSERT_EQ(locator->ConnectServer(local_ns.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     &connected.p),
              WBEM_S_NO_ERROR);
    struct Case {
      const char16_t* language;
      const char16_t* query;
      HRESULT want;
    };
    const Case cases[] = {
        {u"SQL", u"SELECT * FROM Win32_DiskDrive", WBEM_E_INVALID_QUERY_TYPE},
        {u"WQL", u"SELECT Model FROM Win32_DiskDrive", WBEM_E_INVALID_QUERY},
        {u"WQL", u"SELECT * FROM", WBEM_E_INVALID_QUERY},
        {u"WQL", u"SELECT * FROM Win32_NoSuchThing", WBEM_E_INVALID_CLASS},
    };
    for (const Case& c : cases) {
      Bstr language(c.language), query(c.query);
      IEnumWbemClassObject* e = reinterpret_cast<IEnumWbemClassObject*>(&machine);
      EXPECT_EQ(connected->ExecQuery(language.b, query.b, 0, nullptr, &e), c.want)
          << ToUtf8(c.query);
      EXPECT_EQ(e, nullptr);
    }

    // A machine whose WMI service is disabled.
    machine.SetFact("wmi", false);
    EXPECT_EQ(locator->ConnectServer(local_ns.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     &services),
              HRESULT_SERVICE_DISABLED);
    EXPECT_EQ(services, nullptr);
  }
  EXPECT_EQ(WbemObjectCount(), 0u);
}

TEST(Wmi, BstrAndVariant) {
  BSTR text = SysAllocString(u"ROOT\\CIMV2");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 10u);
  EXPECT_EQ(text[10], 0);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 20u);  // the byte count before the units
  SysFreeString(text);

  const char16_t with_nul[] = {u'a', 0, u'b'};
  BSTR counted = SysAllocStringLen(with_nul, 3);
  EXPECT_EQ(SysStringLen(counted), 3u);
  EXPECT_EQ(counted[2], u'b');
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);

  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = counted;  // the variant owns it now
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
