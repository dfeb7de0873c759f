#include "zor/platform/file_transport.h"

#include "zor/platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zor {
namespace {

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Writing to a FIFO without a reader must fail with EPIPE, not kill the
// process: SIGPIPE is blocked for the call and a signal it raised is consumed.
long writeWithoutSigpipe(int fd, const void* buffer, std::size_t size) {
  sigset_t pipeSet, old, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  long n = ::write(fd, buffer, size);
  const int err = errno;
  if (n < 0 && err == EPIPE && !wasPending) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

}  // namespace

FileTransport::FileTransport(int fd) : DescriptorTransport(fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    // A block device is always ready too: waiting on it would never wait.
    m_regular = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    m_fifo = S_ISFIFO(st.st_mode);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

long FileTransport::attempt(bool input, int fd, char* bytes, unsigned long size, unsigned, DWORD* code) {
  long n;
  do {
    if (input)
      n = ::read(fd, bytes, size);
    else if (m_fifo)
      n = writeWithoutSigpipe(fd, bytes, size);
    else
      n = ::write(fd, bytes, size);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  if (n == 0) {
    if (!input) {
      *code = ERROR_WRITE_FAULT;  // a write that moves nothing would repeat forever
    } else if (m_fifo) {
      *code = ERROR_BROKEN_PIPE;  // the last writer has gone
    } else if (!m_regular) {
      // The end of a file is no failure: nothing is there now.
      m_ended = true;
    }
    return -1;
  }
  const int err = errno;
  if (wouldBlock(err)) return kWait;
  *code = win32ErrorFromErrno(err);
  return -1;
}

int FileTransport::readableDescriptor() const {
  if (m_regular || m_ended) return -1;
  return DescriptorTransport::readableDescriptor();
}

bool FileTransport::flush() {
  Lease lease(*this);
  if (lease.fd() < 0) return false;
  // FIFOs and devices hold nothing back that a flush could push.
  if (!m_regular) return true;
  return ::fsync(lease.fd()) == 0 || errno == EINVAL || errno == EROFS;
}

std::unique_ptr<Transport> openFileTransport(const TransportRequest& request, DWORD* error) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (request.forInput && request.forOutput)
    flags |= O_RDWR;
  else
    flags |= request.forOutput ? O_WRONLY : O_RDONLY;
  int fd;
  do fd = ::open(request.name, flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = win32ErrorFromErrno(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    *error = ERROR_ACCESS_DENIED;  // a directory is not a file to read or write
    return nullptr;
  }
  return adoptDescriptor<FileTransport>(fd, error);
}

}  // namespace zor
