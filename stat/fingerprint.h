// The machine description the statistics reports carry and the install identity is made
// of. Each function asks the system afresh and turns a missing facility into an empty text
// or zero; none keeps state, so any thread may call them.
#pragma once

#include <cstdint>
#include <string>

namespace Kx {

// The processor count of GetSystemInfo.
int32_t GetProcessorCount();
// Total physical memory in bytes (GlobalMemoryStatusEx, else GlobalMemoryStatus).
uint64_t GetTotalMemory();
// "XX-XX-XX-XX-XX-XX" of the first listed adapter with a 6-byte hardware address.
std::u16string GetAdapterAddressText();
// The vendor registers of processor identification leaf 0 (EBX, ECX, EDX) as 24
// upper-case hexadecimal digits.
std::u16string GetProcessorIdText();
// The BIOS serial number as "wmic bios get SerialNumber" prints it, with every blank and
// line break removed. Starts a child process and may take over a second.
std::u16string GetBiosSerialText();
// "WIN10", "WIN7", ..., "WINUNKOWN"; empty when the version cannot be asked.
std::u16string GetOsName();
// "major.minor.build"; "0.0.0" when the version cannot be asked.
std::u16string GetOsVersionText();
// 1 on an x64 or Itanium system, else 0.
int32_t Is64BitOs();
// 1 when a virtual machine's tools are running or WMI names VMware hardware. May
// initialise COM on the calling thread for the duration of the call.
uint8_t IsVirtualMachine();
// Always empty.
std::u16string GetIeVersionText();

}  // namespace Kx
