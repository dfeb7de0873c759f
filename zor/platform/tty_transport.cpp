#include "zor/platform/tty_transport.h"

#include "zor/platform/deadline.h"
#include "zor/platform/fail.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace zor {
namespace {

constexpr unsigned kGone = Reactor::kHangUp | Reactor::kError;

long failed(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return -1;
}

}  // namespace

class TtyTransport::Transfer {
public:
  explicit Transfer(TtyTransport& t) : m_t(t) {
    std::lock_guard lock(t.m_state.mutex);
    if (t.m_closed) return;
    ++t.m_transfers;
    m_fd = t.m_fd;
  }
  ~Transfer() {
    if (m_fd < 0) return;
    std::lock_guard lock(m_t.m_state.mutex);
    if (--m_t.m_transfers == 0) m_t.m_idle.notify_all();
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  int fd() const { return m_fd; }

private:
  TtyTransport& m_t;
  int m_fd = -1;
};

TtyTransport::TtyTransport(int fd) : m_fd(fd) { lineStart(fd, m_state); }

TtyTransport::~TtyTransport() { close(); }

long TtyTransport::read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (buffer == nullptr && size > 0) return failed(error, ERROR_INVALID_PARAMETER);
  Transfer transfer(*this);
  const int fd = transfer.fd();
  if (fd < 0) return failed(error, ERROR_INVALID_HANDLE);
  Deadline deadline(timeoutMs);
  bool expired = false;
  unsigned seen = 0;
  for (;;) {
    if (m_cancel[0].exchange(false)) return failed(error, ERROR_OPERATION_ABORTED);
    if (size == 0) return 0;
    long n = ::read(fd, buffer, size);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return failed(error, win32ErrorFromErrno(errno));
    // A raw tty with nothing to read answers as a hung-up one does; the wait
    // tells them apart, so that a vanished line is an error and not a quiet one.
    if ((seen & kGone) != 0) return failed(error, ERROR_GEN_FAILURE);
    if (expired) return 0;
    int ms = deadline.left();
    int ready = Reactor::waitReadyOrWoken(fd, Reactor::kReadable, m_wake[0].fd, ms);
    if (ready < 0) return failed(error, win32ErrorFromErrno(errno));
    seen = static_cast<unsigned>(ready);
    expired = ms == 0 || (ready == 0 && deadline.left() == 0);
  }
}

long TtyTransport::write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (data == nullptr && size > 0) return failed(error, ERROR_INVALID_PARAMETER);
  Transfer transfer(*this);
  const int fd = transfer.fd();
  if (fd < 0) return failed(error, ERROR_INVALID_HANDLE);
  const char* bytes = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  unsigned long done = 0;
  bool expired = false;
  unsigned seen = 0;
  while (done < size) {
    if (m_cancel[1].exchange(false)) {
      if (done > 0) break;
      return failed(error, ERROR_OPERATION_ABORTED);
    }
    long n = ::write(fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<unsigned long>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // What moved is reported; the failure shows again on the next call.
    if (n < 0 && errno != EAGAIN) {
      if (done > 0) break;
      return failed(error, win32ErrorFromErrno(errno));
    }
    if ((seen & kGone) != 0 && (seen & Reactor::kWritable) == 0) {
      if (done > 0) break;
      return failed(error, ERROR_GEN_FAILURE);
    }
    if (expired) break;
    int ms = deadline.left();
    int ready = Reactor::waitReadyOrWoken(fd, Reactor::kWritable, m_wake[1].fd, ms);
    if (ready < 0) {
      if (done > 0) break;
      return failed(error, win32ErrorFromErrno(errno));
    }
    seen = static_cast<unsigned>(ready);
    expired = ms == 0 || (ready == 0 && deadline.left() == 0);
  }
  return static_cast<long>(done);
}

int TtyTransport::readableDescriptor() const { return m_fd.load(); }

void TtyTransport::cancel(bool input) {
  // The flag first: a transfer that wakes, or has not yet waited, sees it.
  m_cancel[input ? 0 : 1] = true;
  m_wake[input ? 0 : 1].wake();
}

bool TtyTransport::flush() {
  Transfer transfer(*this);
  const int fd = transfer.fd();
  if (fd < 0) return false;
  // tcdrain cannot be interrupted but by a signal, and a line held by XOFF or
  // CTS would hold it (and the close, or the application's Flush) for ever:
  // the queue is looked at in short steps instead, each ended at once by a
  // cancel of the output, and a queue that stops shrinking is given up on.
  constexpr int kStepMs = 10;
  constexpr int kStalledSteps = 100;
  int last = -1;
  for (int stalled = 0; stalled < kStalledSteps; ++stalled) {
    if (m_cancel[1].exchange(false)) return false;
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
    if (queued <= 0) return true;
    if (last < 0 || queued < last) stalled = 0;
    last = queued;
    int ready = Reactor::waitReadyOrWoken(fd, 0, m_wake[1].fd, kStepMs);
    if (ready < 0 || (static_cast<unsigned>(ready) & kGone) != 0) return false;
  }
  return false;
}

void TtyTransport::close() {
  int fd;
  {
    std::unique_lock lock(m_state.mutex);
    if (m_closed) return;
    m_closed = true;
    for (int i = 0; i < 2; ++i) {
      m_cancel[i] = true;
      m_wake[i].wake();
    }
    // The number must not be reused while a transfer still uses it.
    m_idle.wait(lock, [this] { return m_transfers == 0; });
    fd = m_fd.exchange(-1);
  }
  ::close(fd);  // the lock goes with it
}

template <class F>
BOOL TtyTransport::control(F f) {
  std::lock_guard lock(m_state.mutex);
  if (m_closed) return fail(ERROR_INVALID_HANDLE);
  DWORD error = f(m_fd.load());
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

BOOL TtyTransport::setupComm(DWORD inQueue, DWORD outQueue) {
  return control([&](int) {
    m_state.inQueue = inQueue;
    m_state.outQueue = outQueue;
    return ERROR_SUCCESS;
  });
}

BOOL TtyTransport::getState(DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int fd) { return lineGetState(fd, m_state, dcb); });
}

BOOL TtyTransport::setState(const DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int fd) { return lineSetState(fd, m_state, *dcb); });
}

BOOL TtyTransport::getTimeouts(COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int) {
    *timeouts = m_state.timeouts;
    return ERROR_SUCCESS;
  });
}

BOOL TtyTransport::setTimeouts(const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int) {
    m_state.timeouts = *timeouts;
    return ERROR_SUCCESS;
  });
}

BOOL TtyTransport::setMask(DWORD mask) {
  return control([&](int) {
    m_state.eventMask = mask;
    return ERROR_SUCCESS;
  });
}

BOOL TtyTransport::getMask(DWORD* mask) {
  if (mask == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int) {
    *mask = m_state.eventMask;
    return ERROR_SUCCESS;
  });
}

BOOL TtyTransport::purge(DWORD flags) {
  return control([&](int fd) { return linePurge(fd, flags); });
}

BOOL TtyTransport::escape(DWORD function) {
  return control([&](int fd) { return lineEscape(fd, function); });
}

BOOL TtyTransport::clearError(DWORD* errors, COMSTAT* status) {
  return control([&](int fd) { return lineClearError(fd, m_state, errors, status); });
}

BOOL TtyTransport::modemStatus(DWORD* status) {
  if (status == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return control([&](int fd) { return lineModemStatus(fd, status); });
}

std::unique_ptr<TtyTransport> openTtyTransport(const char* nameOrPath, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  std::string path = ttyPathOf(nameOrPath);
  if (path.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  int fd = openExclusiveTty(path.c_str(), error);
  if (fd < 0) return nullptr;
  std::unique_ptr<TtyTransport> transport(new (std::nothrow) TtyTransport(fd));
  if (transport == nullptr) {
    ::close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (transport->m_wake[0].fd < 0 || transport->m_wake[1].fd < 0) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return nullptr;  // its destructor closes the tty
  }
  *error = ERROR_SUCCESS;
  return transport;
}

}  // namespace zor
