// What every medium on one non-blocking descriptor shares: the descriptor
// kept open while a transfer uses it, a cancel flag and a wake descriptor per
// direction, the bounded wait for readiness, cancel() and close().
//
// A transfer tries first and only waits, in the reactor's direct wait on the
// descriptor and on the wake descriptor of its direction, when the descriptor
// has nothing for it; so cancel() ends a wait at once and the RX and TX
// threads never wake each other. A medium says only how one try goes
// (attempt) and what is its own: how it opens, its errors, its extra members.
#pragma once

#include "zor/platform/reactor.h"
#include "zor/platform/transport.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

namespace zor {

class DescriptorTransport : public Transport {
public:
  ~DescriptorTransport() override;
  DescriptorTransport(const DescriptorTransport&) = delete;
  DescriptorTransport& operator=(const DescriptorTransport&) = delete;

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  int readableDescriptor() const override { return m_fd.load(); }
  void cancel(bool input) final;
  // Ends the waits of both directions, waits for the transfers to leave (so
  // that the number is not reused under them) and closes the descriptor.
  void close() final;

  // False when a wake descriptor could not be made: such a transport is not used.
  bool usable() const { return m_wake[0].fd >= 0 && m_wake[1].fd >= 0; }

protected:
  // Takes an open, non-blocking descriptor. endedByClose: what a transfer
  // that close() ended on another thread fails with.
  explicit DescriptorTransport(int fd, DWORD endedByClose = ERROR_OPERATION_ABORTED);

  // What attempt returns when the descriptor has nothing for it now.
  static constexpr long kWait = -2;
  // One try of a transfer that never waits: the count moved (> 0), kWait, or
  // -1 with *code (ERROR_SUCCESS: nothing more is to be had now, which is no
  // failure). seen: the ready bits the last wait of this call found (0 before
  // it waited), for a medium whose hang-up looks like an empty descriptor.
  virtual long attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) = 0;
  // Runs under the lock once a close has begun, before it waits for the
  // transfers: what the medium must undo while the number is still its own.
  // A medium that has one closes in its own destructor.
  virtual void beforeClose(int /*fd*/) {}

  // Keeps the descriptor open while a transfer uses it: close() waits for it.
  class Lease {
  public:
    explicit Lease(const DescriptorTransport& owner);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    int fd() const { return m_fd; }

  private:
    const DescriptorTransport& m_owner;
    int m_fd = -1;
  };

  // Takes the cancel kept for a direction.
  bool takeCancel(bool input) { return m_cancel[input ? 0 : 1].exchange(false); }
  // The reactor's direct wait on fd and on the direction's wake descriptor.
  int waitReady(int fd, unsigned interest, bool input, int timeoutMs) const;
  // True once close() has begun.
  bool closing() const { return m_closing.load(); }
  // Runs f with the descriptor (-1 once closed) under the lock that close() takes.
  template <class F>
  auto withDescriptor(F f) const {
    std::lock_guard lock(m_mutex);
    return f(m_closed ? -1 : m_fd.load());
  }
  // True once the peer of a socket has ended its sending or the connection
  // failed, even while bytes wait unread; also once closed. Never waits.
  bool socketPeerHasLeft() const;

private:
  long transfer(bool input, char* bytes, unsigned long size, unsigned long timeoutMs, DWORD* error);

  const DWORD m_endedByClose;
  mutable std::mutex m_mutex;  // guards m_closed and m_leases
  bool m_closed = false;
  mutable int m_leases = 0;
  mutable std::condition_variable m_released;
  std::atomic<int> m_fd;
  std::atomic<bool> m_closing{false};
  std::atomic<bool> m_cancel[2] = {false, false};  // [0] input, [1] output
  Reactor::WakeDescriptor m_wake[2];
};

// Closes a descriptor that no transport took.
void closeLooseDescriptor(int fd);

// A new Medium(fd), which owns fd from then on; null with *error when memory
// or a wake descriptor is short (fd closed then too).
template <class Medium>
std::unique_ptr<Medium> adoptDescriptor(int fd, DWORD* error) {
  std::unique_ptr<Medium> transport(new (std::nothrow) Medium(fd));
  if (transport == nullptr) {
    closeLooseDescriptor(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
  } else if (!transport->usable()) {
    transport.reset();  // its destructor closes the descriptor
    *error = ERROR_TOO_MANY_OPEN_FILES;
  }
  return transport;
}

}  // namespace zor
