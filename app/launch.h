// The uninstaller's entry: restart from the temporary folder, single instance, then the
// silent removal or the window.
#pragma once

#include <string_view>

#include "win32/types.h"

namespace Kx {

// `command_text` is the text after the program name; the result is the exit code.
int UninstallerMain(win32::HINSTANCE instance, std::u16string_view command_text);

}  // namespace Kx
