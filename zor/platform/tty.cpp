#include "zor/platform/tty.h"

#include "zor/platform/opener.h"

#include <poll.h>

#include <cerrno>

namespace zor {

TtyHandle::TtyHandle(int fd, bool overlapped) : FdHandle(fd, overlapped) {
  // Nothing there yet is not the end of the line: a read takes what has arrived.
  setReadMode(ReadMode::Immediate);
  setEndOfDataError(ERROR_SUCCESS);
}

BOOL TtyHandle::close() {
  {
    // No communications call is inside the descriptor once this is set.
    std::lock_guard lock(m_comm.mutex);
    m_commClosed = true;
  }
  return FdHandle::close();
}

int TtyHandle::commFd() const { return m_commClosed ? -1 : fd(); }

void TtyHandle::commTimeoutsChanged(const COMMTIMEOUTS& t) {
  // Only "return at once with what is there" and "wait for data" exist here;
  // the total read time-outs are not timed.
  bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                   t.ReadTotalTimeoutConstant == 0;
  setReadMode(immediate ? ReadMode::Immediate : ReadMode::Wait);
}

long TtyHandle::readSome(void* buffer, std::size_t size, std::int64_t offset) {
  long n = FdHandle::readSome(buffer, size, offset);
  if (n != 0 || size == 0) return n;
  // A raw tty with nothing to read answers 0 as a hung-up one does; the poll
  // tells them apart, so a vanished line is an error and not an idle one.
  pollfd p{fd(), POLLIN, 0};
  bool gone = ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  // A quiet line is "nothing yet", so that a read that waits for data does wait.
  errno = gone ? EIO : EAGAIN;
  return -1;
}

HANDLE openTty(const char* path, bool overlapped) {
  DWORD error = ERROR_SUCCESS;
  int fd = openExclusiveTty(path, &error);
  if (fd < 0) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  auto object = makeFdObject<TtyHandle>(fd, overlapped);
  if (!object) return INVALID_HANDLE_VALUE;
  lineStart(fd, object->commState());
  HANDLE h = registerHandle(std::move(object));
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE openComPort(const OpenRequest& request) {
  std::string path = ttyPathOf(request.name);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return openTty(path.c_str(), request.overlapped());
}

}  // namespace zor
