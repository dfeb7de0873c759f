#include "zor/platform/pipe_transport.h"

#include "zor/platform/deadline.h"
#include "zor/platform/pipe_socket.h"
#include "zor/platform/platform.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

namespace zor {
namespace {

constexpr unsigned long kDefaultBusyWaitMs = 50;

long failure(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return -1;
}

DWORD readError(int err) { return err == ECONNRESET ? ERROR_BROKEN_PIPE : win32ErrorFromErrno(err); }

DWORD writeError(int err) {
  return err == EPIPE || err == ECONNRESET ? ERROR_NO_DATA : win32ErrorFromErrno(err);
}

}  // namespace

class PipeTransport::Lease {
public:
  explicit Lease(PipeTransport& owner) : m_owner(owner) {
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
  PipeTransport& m_owner;
  int m_fd = -1;
};

PipeTransport::PipeTransport(int fd) : m_fd(fd) {}

PipeTransport::~PipeTransport() { close(); }

long PipeTransport::read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (buffer == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  Lease lease(*this);
  if (lease.fd() < 0) return failure(error, ERROR_INVALID_HANDLE);
  Deadline deadline(timeoutMs);
  for (bool last = false;;) {
    if (m_cancel[0].exchange(false)) return failure(error, ERROR_OPERATION_ABORTED);
    if (size == 0) return 0;
    long n = ::recv(lease.fd(), buffer, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) return failure(error, ERROR_BROKEN_PIPE);  // the writer has gone
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return failure(error, readError(errno));
    if (last) return 0;
    int ms = deadline.left();
    if (Reactor::waitReadyOrWoken(lease.fd(), Reactor::kReadable, m_wake[0].fd, ms) < 0)
      return failure(error, win32ErrorFromErrno(errno));
    // One more look once the bound is spent, so that bytes that came with it count.
    last = ms == 0 || deadline.left() == 0;
  }
}

long PipeTransport::write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (data == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  Lease lease(*this);
  if (lease.fd() < 0) return failure(error, ERROR_INVALID_HANDLE);
  const char* bytes = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  unsigned long sent = 0;
  DWORD code = ERROR_SUCCESS;
  for (bool last = false; sent < size && code == ERROR_SUCCESS;) {
    if (m_cancel[1].exchange(false)) {
      code = ERROR_OPERATION_ABORTED;
      break;
    }
    long n = ::send(lease.fd(), bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<unsigned long>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      code = writeError(errno);
    } else if (last) {
      break;
    } else {
      int ms = deadline.left();
      if (Reactor::waitReadyOrWoken(lease.fd(), Reactor::kWritable, m_wake[1].fd, ms) < 0)
        code = win32ErrorFromErrno(errno);
      last = ms == 0 || deadline.left() == 0;
    }
  }
  // What moved is reported; a failure shows again on the next call.
  if (sent == 0 && code != ERROR_SUCCESS) return failure(error, code);
  return static_cast<long>(sent);
}

void PipeTransport::cancel(bool input) {
  // The flag first: a transfer that wakes, or has not yet waited, sees it.
  m_cancel[input ? 0 : 1] = true;
  m_wake[input ? 0 : 1].wake();
}

DWORD PipeTransport::peerProcessId() const {
  std::lock_guard lock(m_mutex);
  if (m_closed) return 0;
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(m_fd.load(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return 0;
  return static_cast<DWORD>(cred.pid);
}

bool PipeTransport::peerHasLeft() const {
  std::lock_guard lock(m_mutex);
  if (m_closed) return true;
  ::pollfd p{m_fd.load(), POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool PipeTransport::signalWhenReadable(HANDLE event) {
  std::lock_guard lock(m_mutex);
  if (m_closed) return false;
  return m_watch.arm(m_fd.load(), event);
}

void PipeTransport::close() {
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
    m_watch.remove();
    fd = m_fd.exchange(-1);
  }
  if (fd >= 0) ::close(fd);
}

std::unique_ptr<PipeTransport> connectLocalPipe(const char* name, unsigned long busyWaitMs, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  std::string path;
  if ((*error = resolvePipeName(name, path)) != ERROR_SUCCESS) return nullptr;
  int fd = connectPipeSocket(path, busyWaitMs, error);
  if (fd < 0) return nullptr;
  std::unique_ptr<PipeTransport> transport(new (std::nothrow) PipeTransport(fd));
  if (transport == nullptr) {
    ::close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (!transport->usable()) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return nullptr;  // its destructor closes the socket
  }
  return transport;
}

std::unique_ptr<Transport> openLocalPipeTransport(const char* name, DWORD* error) {
  return connectLocalPipe(name, kDefaultBusyWaitMs, error);
}

}  // namespace zor
