#include "app/main_frame.h"

namespace Kx {

void RunMainWindow(win32::HINSTANCE) {}

}  // namespace Kx
