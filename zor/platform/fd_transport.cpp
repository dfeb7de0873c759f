#include "zor/platform/fd_transport.h"

#include "zor/platform/deadline.h"
#include "zor/platform/platform.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zor {
namespace {

long failure(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return -1;
}

}  // namespace

DescriptorTransport::Lease::Lease(const DescriptorTransport& owner) : m_owner(owner) {
  std::lock_guard lock(owner.m_mutex);
  if (owner.m_closed) return;
  ++owner.m_leases;
  m_fd = owner.m_fd.load();
}

DescriptorTransport::Lease::~Lease() {
  if (m_fd < 0) return;
  std::lock_guard lock(m_owner.m_mutex);
  if (--m_owner.m_leases == 0) m_owner.m_released.notify_all();
}

DescriptorTransport::DescriptorTransport(int fd, DWORD endedByClose)
    : m_endedByClose(endedByClose), m_fd(fd) {}

DescriptorTransport::~DescriptorTransport() { close(); }

long DescriptorTransport::read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (buffer == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  return transfer(true, static_cast<char*>(buffer), size, timeoutMs, error);
}

long DescriptorTransport::write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  if (data == nullptr && size > 0) return failure(error, ERROR_INVALID_PARAMETER);
  // The buffer is only ever read from on the write path.
  return transfer(false, const_cast<char*>(static_cast<const char*>(data)), size, timeoutMs, error);
}

long DescriptorTransport::transfer(bool input, char* bytes, unsigned long size, unsigned long timeoutMs,
                                   DWORD* error) {
  Lease lease(*this);
  if (lease.fd() < 0) return failure(error, ERROR_INVALID_HANDLE);
  const Deadline deadline(timeoutMs);
  unsigned long moved = 0;
  unsigned seen = 0;
  DWORD code = ERROR_SUCCESS;
  for (bool last = false, tried = false; code == ERROR_SUCCESS; tried = true) {
    // A write makes its first try before it looks at a cancel: a close cancels
    // right after its drain saw the TX ring empty, and the chunk the TX thread
    // took by then still goes out when the medium takes it at once. A write
    // that would wait ends at the cancel.
    if ((input || tried) && takeCancel(input)) {
      code = closing() ? m_endedByClose : ERROR_OPERATION_ABORTED;
      break;
    }
    if (moved == size) break;
    const long n = attempt(input, lease.fd(), bytes + moved, size - moved, seen, &code);
    if (n > 0) {
      moved += static_cast<unsigned long>(n);
      // A read ends with what one try brought; a write goes on for the rest.
      if (input) break;
      continue;
    }
    if (n != kWait || last) break;
    const int ms = deadline.left();
    const int ready = waitReady(lease.fd(), input ? Reactor::kReadable : Reactor::kWritable, input, ms);
    if (ready < 0) {
      code = win32ErrorFromErrno(errno);
      break;
    }
    seen = static_cast<unsigned>(ready);
    // One more look once the bound is spent, so that what came with it counts.
    last = ms == 0 || deadline.left() == 0;
  }
  // What moved is reported; a failure shows again on the next call.
  if (moved == 0 && code != ERROR_SUCCESS) return failure(error, code);
  return static_cast<long>(moved);
}

int DescriptorTransport::waitReady(int fd, unsigned interest, bool input, int timeoutMs) const {
  return Reactor::waitReadyOrWoken(fd, interest, m_wake[input ? 0 : 1].fd, timeoutMs);
}

void DescriptorTransport::cancel(bool input) {
  // The flag first: a transfer that wakes, or has not yet waited, sees it.
  m_cancel[input ? 0 : 1] = true;
  m_wake[input ? 0 : 1].wake();
}

void DescriptorTransport::close() {
  int fd;
  {
    std::unique_lock lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    m_closing = true;
    beforeClose(m_fd.load());
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

bool DescriptorTransport::socketPeerHasLeft() const {
  return withDescriptor([](int fd) {
    if (fd < 0) return true;
    ::pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  });
}

void closeLooseDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace zor
