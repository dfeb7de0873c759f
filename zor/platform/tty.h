// Serial ports: the handle of a tty, reached through "COMn" names.
#pragma once

#include "zor/platform/comm.h"
#include "zor/platform/fd_handle.h"
#include "zor/platform/opener.h"

#include <atomic>

namespace zor {

// A tty held exclusively by this process (an advisory lock that other
// programs using ttys honour). Reads return at once with what is there. A line
// whose far end has gone (hang-up, unplugged adapter) fails reads and writes
// with ERROR_GEN_FAILURE instead of looking like a quiet line.
class TtyHandle : public FdHandle, public CommPort {
public:
  TtyHandle(int fd, bool overlapped);

  BOOL close() override;
  int commFd() const override;
  CommPortState& commState() override { return m_comm; }
  // Reads return at once for ReadIntervalTimeout MAXDWORD with both totals 0 (as
  // opened), else they wait for data; the totals are not timed.
  void commTimeoutsChanged(const COMMTIMEOUTS& timeouts) override;

protected:
  long readSome(void* buffer, std::size_t size, std::int64_t offset) override;

private:
  CommPortState m_comm;
  std::atomic<bool> m_commClosed{false};
};

// Opens the tty at path exclusively. A second open, from any process, fails
// with ERROR_SHARING_VIOLATION; a missing device with ERROR_FILE_NOT_FOUND.
HANDLE openTty(const char* path, bool overlapped);

// CreateFileA's opener of "COMn" names: the tty the name resolves to.
HANDLE openComPort(const OpenRequest& request);

}  // namespace zor
