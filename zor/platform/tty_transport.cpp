#include "zor/platform/tty_transport.h"

#include "zor/platform/fail.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace zor {
namespace {

constexpr unsigned kGone = Reactor::kHangUp | Reactor::kError;

}  // namespace

TtyTransport::TtyTransport(int fd) : DescriptorTransport(fd) { lineStart(fd, m_state); }

long TtyTransport::attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) {
  long n;
  do n = input ? ::read(fd, bytes, size) : ::write(fd, bytes, size);
  while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  if (n < 0 && errno != EAGAIN) {
    *code = win32ErrorFromErrno(errno);
    return -1;
  }
  // A raw tty with nothing to read answers as a hung-up one does; the wait
  // tells them apart, so that a vanished line is an error and not a quiet one.
  if ((seen & kGone) != 0 && (input || (seen & Reactor::kWritable) == 0)) {
    *code = ERROR_GEN_FAILURE;
    return -1;
  }
  return kWait;
}

bool TtyTransport::flush() {
  Lease lease(*this);
  const int fd = lease.fd();
  if (fd < 0) return false;
  // tcdrain cannot be interrupted but by a signal, and a line held by XOFF or
  // CTS would hold it (and the close, or the application's Flush) for ever:
  // the queue is looked at in short steps instead, each ended at once by a
  // cancel of the output, and a queue that stops shrinking is given up on.
  constexpr int kStepMs = 10;
  constexpr int kStalledSteps = 100;
  int last = -1;
  for (int stalled = 0; stalled < kStalledSteps; ++stalled) {
    if (takeCancel(false)) return false;
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
    if (queued <= 0) return true;
    if (last < 0 || queued < last) stalled = 0;
    last = queued;
    int ready = waitReady(fd, 0, false, kStepMs);
    if (ready < 0 || (static_cast<unsigned>(ready) & kGone) != 0) return false;
  }
  return false;
}

template <class F>
BOOL TtyTransport::control(F f) {
  const DWORD error = withDescriptor([&](int fd) -> DWORD {
    if (fd < 0) return ERROR_INVALID_HANDLE;
    std::lock_guard lock(m_state.mutex);
    return f(fd);
  });
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
  auto transport = adoptDescriptor<TtyTransport>(fd, error);
  if (transport == nullptr) return nullptr;
  *error = ERROR_SUCCESS;
  return transport;
}

}  // namespace zor
