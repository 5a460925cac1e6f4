#include "win32/errors.h"

namespace win32 {
namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

}  // namespace win32
