#include "zor/platform/tty.h"

#include "zor/platform/opener.h"

#include <fcntl.h>
#include <linux/serial.h>
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
    SetLastError(err == EIO || err == ENXIO || err == ENODEV ? ERROR_FILE_NOT_FOUND : win32ErrorFromErrno(err));
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
  std::shared_ptr<TtyHandle> object;
  try {
    object = std::make_shared<TtyHandle>(fd, overlapped);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = registerHandle(std::move(object));
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

namespace {

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

[[maybe_unused]] const bool registered = registerOpener(isComName, openComPort);

}  // namespace
}  // namespace zor
