#include "zor/platform/tty.h"

#include "zor/platform/opener.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool isComName(const char* name) {
  if (name == nullptr) return false;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (std::strncmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return false;  // COM0 and leading zeros name no port
  std::size_t n = std::strspn(digits, "0123456789");
  return digits[n] == '\0' && n <= 6;
}

HANDLE openTty(const char* path, bool overlapped) {
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    // A serial node without hardware behind it refuses the open: no such port.
    // A folder (a ports/COMn link to one) is no port either, not a port held by another program.
    SetLastError(err == EIO || err == ENXIO || err == ENODEV || err == EISDIR ? ERROR_FILE_NOT_FOUND
                                                                              : win32ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;
  }
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
    ::close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Exclusive for everyone, root included.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd);
    SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : win32ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;
  }
  auto object = makeFdObject<TtyHandle>(fd, overlapped);
  if (!object) return INVALID_HANDLE_VALUE;
  // Raw bytes, reads that return at once; a node that is no tty is no port.
  if (int err = commPrepareTty(fd, object->commState()); err != 0) {
    SetLastError(err == ENOTTY || err == EINVAL ? ERROR_FILE_NOT_FOUND : win32ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;  // the handle object closes the descriptor
  }
  HANDLE h = registerHandle(std::move(object));
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE openComPort(const OpenRequest& request) {
  const char* name = request.name;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  std::string path = resolveComName(name);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return openTty(path.c_str(), request.overlapped());
}

}  // namespace zor
