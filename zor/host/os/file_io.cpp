#include "zor/host/os/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zor {

bool TransferFile::openToRead(const char* path) {
  close();
  if (path == nullptr) return false;
  // Without waiting: a FIFO without a writer would block the open.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  m_size = static_cast<unsigned long long>(st.st_size);
  return true;
}

bool TransferFile::create(const char* path) {
  close();
  if (path == nullptr) return false;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

long TransferFile::read(void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(m_fd, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool TransferFile::writeAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(m_fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool TransferFile::flush() {
  // Not every file can be synced (a FIFO, a terminal): those have nothing pending.
  return m_fd >= 0 && (::fsync(m_fd) == 0 || errno == EINVAL || errno == EROFS);
}

bool TransferFile::close() {
  if (m_fd < 0) return true;
  bool closed = ::close(m_fd) == 0;
  m_fd = -1;
  m_size = 0;
  return closed;
}

}  // namespace zor
