// Calls whose medium has not been built yet: they fail the way Win32 fails
// on a handle or name that is not of that medium.
#include "zor/platform/platform.h"

namespace zor {

BOOL WaitNamedPipeA(const char*, DWORD) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

}  // namespace zor
