// System facts: processor and memory, the Windows version, the computer name and the
// network adapters.
//
// Each answer comes from machine.json when the fact is there, otherwise from the host:
//   "windows_version": "10.0.19045"   major.minor.build (RtlGetNtVersionNumbers)
//   "arch": "x64" | "x86" | "arm64"   processor architecture of the machine
//   "processors": 8                   logical processors (host: online processors)
//   "memory_bytes": 17179869184       total physical memory (host: sysinfo's total RAM;
//                                     available memory keeps the host's free share)
//   "computer_name": "DESKTOP-4F7Q2M1"  (default: DESKTOP- and 7 characters derived from
//                                     the machine folder)
//   "adapters": [                     network adapters in the order GetAdaptersAddresses
//     {"name": "Ethernet",            lists them (host: getifaddrs order; loopback has no
//      "description": "Intel(R) Ethernet Connection I219-V",   6-byte address)
//      "mac": "00-11-22-33-44-55",    hardware address; "" for none
//      "if_type": 6,                  optional IfType, default 6 (Ethernet)
//      "up": true}]                   optional OperStatus, default up
#pragma once

#include "win32/errors.h"
#include "win32/types.h"

namespace win32 {

using DWORD_PTR = ULONG_PTR;

constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr WORD PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

constexpr DWORD PROCESSOR_INTEL_PENTIUM = 586;
constexpr DWORD PROCESSOR_AMD_X8664 = 8664;
constexpr DWORD PROCESSOR_ARM_7TDMI = 70001;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// As the calling process sees the machine: a 32-bit process on a 64-bit machine is told
// PROCESSOR_ARCHITECTURE_INTEL and at most 32 processors, as WOW64 does.
void GetSystemInfo(LPSYSTEM_INFO system_info);
// The machine's own architecture whatever the process's bitness.
void GetNativeSystemInfo(LPSYSTEM_INFO system_info);

struct MEMORYSTATUSEX {
  DWORD dwLength;  // must be sizeof(MEMORYSTATUSEX), 64
  DWORD dwMemoryLoad;
  DWORDLONG ullTotalPhys;
  DWORDLONG ullAvailPhys;
  DWORDLONG ullTotalPageFile;
  DWORDLONG ullAvailPageFile;
  DWORDLONG ullTotalVirtual;
  DWORDLONG ullAvailVirtual;
  DWORDLONG ullAvailExtendedVirtual;
};
using LPMEMORYSTATUSEX = MEMORYSTATUSEX*;

// The 32-bit process's layout (32 bytes): every total above 4 GiB - 1 reads 0xFFFFFFFF,
// as Windows reports an overflow.
struct MEMORYSTATUS {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORD dwTotalPhys;
  DWORD dwAvailPhys;
  DWORD dwTotalPageFile;
  DWORD dwAvailPageFile;
  DWORD dwTotalVirtual;
  DWORD dwAvailVirtual;
};
using LPMEMORYSTATUS = MEMORYSTATUS*;

// Fails with ERROR_INVALID_PARAMETER unless dwLength is sizeof(MEMORYSTATUSEX).
BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer);
// Sets dwLength itself; never fails.
void GlobalMemoryStatus(LPMEMORYSTATUS buffer);

// The version of the running system; the build number carries 0xF0000000 in its high
// bits (a free build), as Windows reports it. Null pointers are skipped.
void RtlGetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build);

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;
// size: in units with the NUL on input, the length without it on success; a buffer that
// is too small fails with ERROR_BUFFER_OVERFLOW and *size set to the units needed.
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);

// Network adapters.

constexpr ULONG AF_UNSPEC_FAMILY = 0;  // AF_UNSPEC, AF_INET and AF_INET6 of Windows
constexpr ULONG AF_INET_FAMILY = 2;
constexpr ULONG AF_INET6_FAMILY = 23;

constexpr ULONG MAX_ADAPTER_ADDRESS_LENGTH = 8;

constexpr ULONG IF_TYPE_OTHER = 1;
constexpr ULONG IF_TYPE_ETHERNET_CSMACD = 6;
constexpr ULONG IF_TYPE_SOFTWARE_LOOPBACK = 24;
constexpr ULONG IF_TYPE_IEEE80211 = 71;
constexpr ULONG IF_TYPE_TUNNEL = 131;

enum IF_OPER_STATUS {
  IfOperStatusUp = 1,
  IfOperStatusDown = 2,
  IfOperStatusTesting = 3,
  IfOperStatusUnknown = 4,
  IfOperStatusDormant = 5,
  IfOperStatusNotPresent = 6,
  IfOperStatusLowerLayerDown = 7,
};

// One adapter; the list and its texts live in the caller's buffer. Address lists
// (unicast, DNS, gateways) are not reported.
struct IP_ADAPTER_ADDRESSES {
  ULONG Length;  // sizeof(IP_ADAPTER_ADDRESSES)
  DWORD IfIndex;
  IP_ADAPTER_ADDRESSES* Next;
  CHAR* AdapterName;  // "{GUID}"
  WCHAR* DnsSuffix;
  WCHAR* Description;
  WCHAR* FriendlyName;
  BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
  ULONG PhysicalAddressLength;
  ULONG Flags;
  ULONG Mtu;
  ULONG IfType;
  IF_OPER_STATUS OperStatus;
};
using PIP_ADAPTER_ADDRESSES = IP_ADAPTER_ADDRESSES*;

// Returns ERROR_SUCCESS, ERROR_BUFFER_OVERFLOW with *size set to the bytes needed,
// ERROR_NO_DATA when there is no adapter, or ERROR_INVALID_PARAMETER (null size, unknown
// family). With AF_INET or AF_INET6 a host adapter without an address of that family is
// left out; adapters from machine.json are always listed. Flags are accepted and ignored.
ULONG GetAdaptersAddresses(ULONG family, ULONG flags, LPVOID reserved,
                           PIP_ADAPTER_ADDRESSES adapter_addresses, ULONG* size);

}  // namespace win32
