// Serial ports: the handle of a tty, reached through "COMn" names.
#pragma once

#include "zor/platform/fd_handle.h"

namespace zor {

// A tty held exclusively by this process (an advisory lock that other
// programs using ttys honour). Reads return at once with what is there.
class TtyHandle : public FdHandle {
public:
  TtyHandle(int fd, bool overlapped);
};

// True for "COM<n>" with n >= 1 (also with the "\\.\" prefix).
bool isComName(const char* name);

// Opens the tty at path exclusively. A second open, from any process, fails
// with ERROR_SHARING_VIOLATION; a missing device with ERROR_FILE_NOT_FOUND.
HANDLE openTty(const char* path, bool overlapped);

}  // namespace zor
