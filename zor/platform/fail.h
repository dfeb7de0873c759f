// How a platform call fails: its Win32 code becomes the thread's last error and
// the call returns its failure value (FALSE, SOCKET_ERROR, ...).
#pragma once

#include <zor/platform.h>

namespace zor {

template <class R = BOOL>
R fail(DWORD error, R failure = FALSE) {
  SetLastError(error);
  return failure;
}

}  // namespace zor
