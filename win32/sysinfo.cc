#include "win32/sysinfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <json/value.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/processes.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

Json::Value Config() {
  Machine* m = CurrentMachine();
  return m ? m->Config() : Json::Value(Json::objectValue);
}

WORD NativeArchitecture(const Json::Value& config) {
  std::string arch = config.get("arch", "x64").asString();
  if (arch == "x86") return PROCESSOR_ARCHITECTURE_INTEL;
  if (arch == "arm64") return PROCESSOR_ARCHITECTURE_ARM64;
  return PROCESSOR_ARCHITECTURE_AMD64;
}

DWORD ProcessorCount(const Json::Value& config) {
  const Json::Value& fact = config["processors"];
  if (fact.isUInt() && fact.asUInt() > 0) return fact.asUInt();
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<DWORD>(n) : 1;
}

// Family and model/stepping of the host processor, as Windows fills the level and revision.
void ProcessorLevel(WORD* level, WORD* revision) {
  *level = 6;
  *revision = 0;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return;
  unsigned family = (eax >> 8) & 0xF;
  unsigned model = (eax >> 4) & 0xF;
  unsigned stepping = eax & 0xF;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  if (family == 0x6 || family >= 0xF) model |= ((eax >> 16) & 0xF) << 4;
  *level = static_cast<WORD>(family);
  *revision = static_cast<WORD>((model << 8) | stepping);
#endif
}

void FillSystemInfo(LPSYSTEM_INFO info, bool native) {
  if (!info) return;
  Json::Value config = Config();
  WORD arch = NativeArchitecture(config);
  bool process32 = arch == PROCESSOR_ARCHITECTURE_INTEL || CurrentProcess().bits == 32;
  if (!native && process32) arch = PROCESSOR_ARCHITECTURE_INTEL;
  DWORD processors = ProcessorCount(config);
  if (process32) processors = std::min<DWORD>(processors, 32);

  std::memset(info, 0, sizeof *info);
  info->wProcessorArchitecture = arch;
  info->dwPageSize = 4096;
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
  info->lpMaximumApplicationAddress =
      reinterpret_cast<LPVOID>(process32 && !native ? static_cast<uintptr_t>(0x7FFEFFFF)
                                                    : static_cast<uintptr_t>(0x7FFFFFFEFFFF));
  info->dwActiveProcessorMask =
      processors >= 64 ? ~static_cast<DWORD_PTR>(0) : (static_cast<DWORD_PTR>(1) << processors) - 1;
  info->dwNumberOfProcessors = processors;
  info->dwProcessorType = arch == PROCESSOR_ARCHITECTURE_INTEL   ? PROCESSOR_INTEL_PENTIUM
                          : arch == PROCESSOR_ARCHITECTURE_AMD64 ? PROCESSOR_AMD_X8664
                                                                 : PROCESSOR_ARM_7TDMI;
  info->dwAllocationGranularity = 65536;
  ProcessorLevel(&info->wProcessorLevel, &info->wProcessorRevision);
}

struct MemoryFacts {
  uint64_t total_phys = 0;
  uint64_t avail_phys = 0;
  uint64_t total_page = 0;
  uint64_t avail_page = 0;
  uint64_t total_virtual = 0;
  uint64_t avail_virtual = 0;
  DWORD load = 0;
};

// MemAvailable of /proc/meminfo in bytes, 0 when absent.
uint64_t HostAvailableMemory() {
  std::ifstream in("/proc/meminfo");
  std::string name;
  uint64_t kib = 0;
  std::string unit;
  while (in >> name >> kib) {
    std::getline(in, unit);
    if (name == "MemAvailable:") return kib * 1024;
  }
  return 0;
}

uint64_t OwnResidentBytes() {
  std::ifstream in("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(in >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

MemoryFacts ReadMemory() {
  MemoryFacts f;
  struct sysinfo si;
  uint64_t host_total = 0, host_avail = 0, swap_total = 0, swap_free = 0;
  if (::sysinfo(&si) == 0) {
    uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    host_total = si.totalram * unit;
    host_avail = si.freeram * unit + si.bufferram * unit;
    swap_total = si.totalswap * unit;
    swap_free = si.freeswap * unit;
  }
  if (uint64_t available = HostAvailableMemory()) host_avail = available;
  host_avail = std::min(host_avail, host_total);

  Json::Value config = Config();
  const Json::Value& fact = config["memory_bytes"];
  if (fact.isUInt64() && fact.asUInt64() > 0) {
    f.total_phys = fact.asUInt64();
    // Keep the host's share of free memory.
    double share =
        host_total ? static_cast<double>(host_avail) / static_cast<double>(host_total) : 0.5;
    f.avail_phys = static_cast<uint64_t>(static_cast<double>(f.total_phys) * share);
  } else {
    f.total_phys = host_total;
    f.avail_phys = host_avail;
  }
  f.avail_phys = std::min(f.avail_phys, f.total_phys);
  f.total_page = f.total_phys + swap_total;
  f.avail_page = f.avail_phys + swap_free;
  bool process32 =
      NativeArchitecture(config) == PROCESSOR_ARCHITECTURE_INTEL || CurrentProcess().bits == 32;
  f.total_virtual = process32 ? 0x7FFE0000ull : 0x7FFFFFFE0000ull;
  f.avail_virtual = f.total_virtual - std::min(f.total_virtual, OwnResidentBytes());
  f.load = f.total_phys ? static_cast<DWORD>(100 - f.avail_phys * 100 / f.total_phys) : 0;
  return f;
}

DWORD Cap32(uint64_t value) {
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

uint64_t Fnv1a(std::string_view text, uint64_t seed) {
  uint64_t h = 0xcbf29ce484222325ull ^ seed;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

// A stable "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" for an adapter, as Windows names them.
std::string AdapterGuid(std::string_view key) {
  uint64_t a = Fnv1a(key, 0), b = Fnv1a(key, 0x9e3779b97f4a7c15ull);
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

struct Adapter {
  std::string name;  // AdapterName
  std::u16string description;
  std::u16string friendly;
  std::vector<BYTE> mac;
  DWORD if_index = 0;
  ULONG mtu = 1500;
  ULONG if_type = IF_TYPE_ETHERNET_CSMACD;
  IF_OPER_STATUS status = IfOperStatusUp;
  std::string host_name;  // host adapters: the interface name
  bool has_v4 = true;
  bool has_v6 = true;
};

// "00-11-22-33-44-55" (or with colons) into bytes; false for anything else.
bool ParseMac(const std::string& text, std::vector<BYTE>* out) {
  out->clear();
  if (text.empty()) return true;
  size_t i = 0;
  while (i < text.size()) {
    if (i + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    out->push_back(static_cast<BYTE>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    i += 2;
    if (i == text.size()) break;
    if (text[i] != '-' && text[i] != ':') return false;
    ++i;
  }
  return out->size() <= MAX_ADAPTER_ADDRESS_LENGTH;
}

std::vector<Adapter> ConfiguredAdapters(const Json::Value& list) {
  std::vector<Adapter> adapters;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& entry = list[i];
    if (!entry.isObject()) continue;
    Adapter a;
    std::string name = entry.get("name", "Ethernet").asString();
    a.friendly = FromUtf8(name);
    a.description = FromUtf8(entry.get("description", name).asString());
    a.name = AdapterGuid(name + "#" + std::to_string(i));
    if (!ParseMac(entry.get("mac", "").asString(), &a.mac)) a.mac.clear();
    a.if_index = i + 1;
    a.if_type = entry.get("if_type", IF_TYPE_ETHERNET_CSMACD).asUInt();
    a.status = entry.get("up", true).asBool() ? IfOperStatusUp : IfOperStatusDown;
    adapters.push_back(std::move(a));
  }
  return adapters;
}

ULONG HostMtu(const std::string& name) {
  std::ifstream in("/sys/class/net/" + name + "/mtu");
  ULONG mtu = 0;
  return (in >> mtu) && mtu ? mtu : 1500;
}

bool IsWireless(const std::string& name) {
  return ::access(("/sys/class/net/" + name + "/wireless").c_str(), F_OK) == 0;
}

std::vector<Adapter> HostAdapters() {
  std::vector<Adapter> adapters;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return adapters;
  std::set<std::string> v4, v6;
  int loopbacks = 0;
  for (struct ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name || !ifa->ifa_addr) continue;
    std::string name = ifa->ifa_name;
    int family = ifa->ifa_addr->sa_family;
    if (family == AF_INET) v4.insert(name);
    if (family == AF_INET6) v6.insert(name);
    if (family != AF_PACKET) continue;
    const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(ifa->ifa_addr);
    Adapter a;
    a.name = AdapterGuid(name);
    a.if_index = static_cast<DWORD>(ll->sll_ifindex);
    a.mtu = HostMtu(name);
    a.status = (ifa->ifa_flags & IFF_UP) && (ifa->ifa_flags & IFF_RUNNING) ? IfOperStatusUp
                                                                           : IfOperStatusDown;
    if (ll->sll_hatype == ARPHRD_LOOPBACK || (ifa->ifa_flags & IFF_LOOPBACK)) {
      // Windows' loopback pseudo-interface has no hardware address.
      ++loopbacks;
      a.if_type = IF_TYPE_SOFTWARE_LOOPBACK;
      a.friendly = FromUtf8("Loopback Pseudo-Interface " + std::to_string(loopbacks));
      a.description = FromUtf8("Software Loopback Interface " + std::to_string(loopbacks));
      a.status = IfOperStatusUp;
    } else {
      a.friendly = FromUtf8(name);
      a.description = FromUtf8(name);
      size_t length = std::min<size_t>(ll->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
      a.mac.assign(ll->sll_addr, ll->sll_addr + length);
      a.if_type = ll->sll_hatype == ARPHRD_ETHER
                      ? (IsWireless(name) ? IF_TYPE_IEEE80211 : IF_TYPE_ETHERNET_CSMACD)
                  : ll->sll_hatype == ARPHRD_NONE ? IF_TYPE_TUNNEL
                                                  : IF_TYPE_OTHER;
    }
    a.host_name = name;
    adapters.push_back(std::move(a));
  }
  ::freeifaddrs(list);
  for (Adapter& a : adapters) {
    a.has_v4 = v4.count(a.host_name) > 0;
    a.has_v6 = v6.count(a.host_name) > 0;
  }
  return adapters;
}

size_t Align(size_t n, size_t to) { return (n + to - 1) / to * to; }

// Bytes one adapter takes in the caller's buffer: the record, then its texts.
size_t EntrySize(const Adapter& a) {
  size_t n = sizeof(IP_ADAPTER_ADDRESSES);
  n += a.name.size() + 1;
  n = Align(n, 2);
  n += (1 + a.description.size() + 1 + a.friendly.size() + 1) * sizeof(WCHAR);
  return Align(n, alignof(IP_ADAPTER_ADDRESSES));
}

WCHAR* PutWide(BYTE** cursor, std::u16string_view text) {
  auto* out = reinterpret_cast<WCHAR*>(*cursor);
  text.copy(out, text.size());
  out[text.size()] = 0;
  *cursor += (text.size() + 1) * sizeof(WCHAR);
  return out;
}

}  // namespace

void GetSystemInfo(LPSYSTEM_INFO system_info) { FillSystemInfo(system_info, false); }

void GetNativeSystemInfo(LPSYSTEM_INFO system_info) { FillSystemInfo(system_info, true); }

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer) {
  if (!buffer || buffer->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MemoryFacts f = ReadMemory();
  buffer->dwMemoryLoad = f.load;
  buffer->ullTotalPhys = f.total_phys;
  buffer->ullAvailPhys = f.avail_phys;
  buffer->ullTotalPageFile = f.total_page;
  buffer->ullAvailPageFile = f.avail_page;
  buffer->ullTotalVirtual = f.total_virtual;
  buffer->ullAvailVirtual = f.avail_virtual;
  buffer->ullAvailExtendedVirtual = 0;
  return TRUE;
}

void GlobalMemoryStatus(LPMEMORYSTATUS buffer) {
  if (!buffer) return;
  MemoryFacts f = ReadMemory();
  buffer->dwLength = sizeof(MEMORYSTATUS);
  buffer->dwMemoryLoad = f.load;
  buffer->dwTotalPhys = Cap32(f.total_phys);
  buffer->dwAvailPhys = Cap32(f.avail_phys);
  buffer->dwTotalPageFile = Cap32(f.total_page);
  buffer->dwAvailPageFile = Cap32(f.avail_page);
  buffer->dwTotalVirtual = Cap32(f.total_virtual);
  buffer->dwAvailVirtual = Cap32(f.avail_virtual);
}

void RtlGetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) {
  Machine* m = CurrentMachine();
  std::string version = m ? m->WindowsVersion() : "10.0.19045";
  DWORD parts[3] = {0, 0, 0};
  const char* p = version.c_str();
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    parts[i] = static_cast<DWORD>(std::strtoul(p, &end, 10));
    if (end == p) break;
    p = *end == '.' ? end + 1 : end;
  }
  if (major) *major = parts[0];
  if (minor) *minor = parts[1];
  if (build) *build = 0xF0000000u | (parts[2] & 0xFFFF);
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Machine* m = CurrentMachine();
  Json::Value config = Config();
  std::string name = config.get("computer_name", "").asString();
  if (name.empty()) {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint64_t h = Fnv1a(m ? m->root() : std::string(), 0);
    name = "DESKTOP-";
    for (int i = 0; i < 7; ++i, h /= 36) name += kDigits[h % 36];
  }
  std::u16string wide = FromUtf8(name);
  if (!buffer || *size <= wide.size()) {
    *size = static_cast<DWORD>(wide.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  wide.copy(buffer, wide.size());
  buffer[wide.size()] = 0;
  *size = static_cast<DWORD>(wide.size());
  return TRUE;
}

ULONG GetAdaptersAddresses(ULONG family, ULONG, LPVOID, PIP_ADAPTER_ADDRESSES adapter_addresses,
                           ULONG* size) {
  if (!size ||
      (family != AF_UNSPEC_FAMILY && family != AF_INET_FAMILY && family != AF_INET6_FAMILY))
    return ERROR_INVALID_PARAMETER;
  Json::Value config = Config();
  std::vector<Adapter> adapters;
  if (config.isMember("adapters")) {
    adapters = ConfiguredAdapters(config["adapters"]);
  } else {
    adapters = HostAdapters();
    std::erase_if(adapters, [family](const Adapter& a) {
      return (family == AF_INET_FAMILY && !a.has_v4) || (family == AF_INET6_FAMILY && !a.has_v6);
    });
  }
  if (adapters.empty()) return ERROR_NO_DATA;
  size_t needed = 0;
  for (const Adapter& a : adapters) needed += EntrySize(a);
  if (!adapter_addresses || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }
  auto* base = reinterpret_cast<BYTE*>(adapter_addresses);
  std::memset(base, 0, needed);
  BYTE* entry_start = base;
  IP_ADAPTER_ADDRESSES* previous = nullptr;
  for (const Adapter& a : adapters) {
    auto* entry = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(entry_start);
    BYTE* cursor = entry_start + sizeof(IP_ADAPTER_ADDRESSES);
    entry->Length = sizeof(IP_ADAPTER_ADDRESSES);
    entry->IfIndex = a.if_index;
    entry->AdapterName = reinterpret_cast<CHAR*>(cursor);
    std::memcpy(cursor, a.name.c_str(), a.name.size() + 1);
    cursor = base + Align(static_cast<size_t>(cursor - base) + a.name.size() + 1, 2);
    entry->DnsSuffix = PutWide(&cursor, u"");
    entry->Description = PutWide(&cursor, a.description);
    entry->FriendlyName = PutWide(&cursor, a.friendly);
    std::copy(a.mac.begin(), a.mac.end(), entry->PhysicalAddress);
    entry->PhysicalAddressLength = static_cast<ULONG>(a.mac.size());
    entry->Mtu = a.mtu;
    entry->IfType = a.if_type;
    entry->OperStatus = a.status;
    if (previous) previous->Next = entry;
    previous = entry;
    entry_start += EntrySize(a);
  }
  return ERROR_SUCCESS;
}

}  // namespace win32
