#include "zor/platform/platform.h"

#include <cerrno>
#include <cstdlib>

namespace zor {

BOOL SetEnvironmentVariableA(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int rc = value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
  if (rc != 0) {
    SetLastError(win32ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace zor
