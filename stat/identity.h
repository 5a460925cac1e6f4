// The install identity kept under HKCU "SOFTWARE\ovapp" (value "uuid"), and the machine
// identity it is made from: the MD5 of the adapter address, the processor id, the BIOS
// serial and a fixed salt. They live here rather than beside the install record because
// they are built from the machine fingerprint.
#pragma once

#include <string>

namespace Kx {

// The stored identity when it opens; otherwise the machine identity, which is then stored
// (sealed, type REG_NONE) in place of whatever was there. Any thread may call it.
std::u16string GetInstallUuid();

// 32 upper-case hexadecimal digits. Computed once per process, under a lock, and then
// returned from the cache.
std::u16string ComputeMachineUuid();

// The narrow text whose digest the machine identity is, computed afresh: adapter address,
// processor id and BIOS serial in the ANSI code page, then the salt.
std::string MachineUuidSource();

// Empties the cache, so that the next ComputeMachineUuid asks the machine again.
void ResetMachineUuidCacheForTesting();

}  // namespace Kx
