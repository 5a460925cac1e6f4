// The last two steps of a finished removal: the compatibility-assistant mark for the own
// executable, and its deletion at the next restart.
#pragma once

#include "win32/types.h"

namespace Kx {

// The module instance of the running executable, set once the single-instance mutex is held.
void SetModuleInstance(win32::HINSTANCE instance);
win32::HINSTANCE GetModuleInstance();

void WriteCompatibilityAssistantMark();
void ScheduleSelfDeletion();

}  // namespace Kx
