// The windowed branch of the uninstaller.
#pragma once

#include "win32/types.h"

namespace Kx {

// Runs the windowed branch until its message loop ends. The skinned window is not built
// yet: the branch ends as if the user had closed the window at once.
void RunMainWindow(win32::HINSTANCE instance);

}  // namespace Kx
