#include "zor/platform/file_transport.h"

#include "zor/platform/deadline.h"
#include "zor/platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace zor {
namespace {

long failure(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return -1;
}

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

class FileTransport::Lease {
public:
  explicit Lease(FileTransport& owner) : m_owner(owner) {
    std::lock_guard lock(owner.m_mutex);
    if (!owner.m_closed) {
      ++owner.m_leases;
      m_fd = owner.m_fd.load();
    }
  }
  ~Lease() {
    if (m_fd < 0) return;
    std::lock_guard lock(m_owner.m_mutex);
    if (--m_owner.m_leases == 0) m_owner.m_released.notify_all();
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  int fd() const { return m_fd; }

private:
  FileTransport& m_owner;
  int m_fd = -1;
};

FileTransport::FileTransport(int fd) : m_fd(fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    // A block device is always ready too: waiting on it would never wait.
    m_regular = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    m_fifo = S_ISFIFO(st.st_mode);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

FileTransport::~FileTransport() { close(); }

long FileTransport::read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (buffer == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  return transfer(true, static_cast<char*>(buffer), size, timeoutMs, error);
}

long FileTransport::write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (data == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  // The buffer is only ever read from on the write path.
  return transfer(false, const_cast<char*>(static_cast<const char*>(data)), size, timeoutMs, error);
}

long FileTransport::transfer(bool input, char* bytes, unsigned long size, unsigned long timeoutMs,
                             DWORD* error) {
  Lease lease(*this);
  if (lease.fd() < 0) return failure(error, ERROR_INVALID_HANDLE);
  const int k = input ? 0 : 1;
  const Deadline deadline(timeoutMs);
  unsigned long moved = 0;
  DWORD code = ERROR_SUCCESS;
  for (bool last = false; code == ERROR_SUCCESS;) {
    if (m_cancel[k].exchange(false)) {
      code = ERROR_OPERATION_ABORTED;
      break;
    }
    if (moved == size) break;
    long n;
    if (input)
      n = ::read(lease.fd(), bytes, size);
    else if (m_fifo)
      n = writeWithoutSigpipe(lease.fd(), bytes + moved, size - moved);
    else
      n = ::write(lease.fd(), bytes + moved, size - moved);
    if (n > 0) {
      moved += static_cast<unsigned long>(n);
      // A read ends with what one call brought; a write goes on for the rest.
      if (input) break;
      continue;
    }
    if (n == 0) {
      if (!input) {
        code = ERROR_WRITE_FAULT;  // a write that moves nothing would repeat forever
      } else if (m_fifo) {
        code = ERROR_BROKEN_PIPE;  // the last writer has gone
      } else {
        // The end of a file is no failure: nothing is there now.
        if (!m_regular) m_ended = true;
      }
      break;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (!wouldBlock(err)) {
      code = win32ErrorFromErrno(err);
      break;
    }
    if (last) break;
    const int ms = deadline.left();
    if (Reactor::waitReadyOrWoken(lease.fd(), input ? Reactor::kReadable : Reactor::kWritable, m_wake[k].fd,
                                  ms) < 0)
      code = win32ErrorFromErrno(errno);
    // One more look once the bound is spent, so that what came with it counts.
    last = ms == 0 || deadline.left() == 0;
  }
  // What moved is reported; a failure shows again on the next call.
  if (moved == 0 && code != ERROR_SUCCESS) return failure(error, code);
  return static_cast<long>(moved);
}

int FileTransport::readableDescriptor() const {
  if (m_regular || m_ended) return -1;
  return m_fd.load();
}

void FileTransport::cancel(bool input) {
  // The flag first: a transfer that wakes, or has not yet waited, sees it.
  m_cancel[input ? 0 : 1] = true;
  m_wake[input ? 0 : 1].wake();
}

bool FileTransport::flush() {
  Lease lease(*this);
  if (lease.fd() < 0) return false;
  // FIFOs and devices hold nothing back that a flush could push.
  if (!m_regular) return true;
  return ::fsync(lease.fd()) == 0 || errno == EINVAL || errno == EROFS;
}

void FileTransport::close() {
  int fd;
  {
    std::unique_lock lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    for (int i = 0; i < 2; ++i) {
      m_cancel[i] = true;
      m_wake[i].wake();
    }
    // The number must not be reused while a transfer still uses it.
    m_released.wait(lock, [this] { return m_leases == 0; });
    fd = m_fd.exchange(-1);
  }
  if (fd >= 0) ::close(fd);
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
  std::unique_ptr<FileTransport> transport(new (std::nothrow) FileTransport(fd));
  if (transport == nullptr) {
    ::close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (!transport->usable()) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return nullptr;  // its destructor closes the descriptor
  }
  return transport;
}

}  // namespace zor
