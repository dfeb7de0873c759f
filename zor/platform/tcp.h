// TCP over IPv4 on plain sockets: a connected socket as a Transport, a
// listener, a bounded connect, and the look-ups the remote channels need.
//
// Every wait is the calling thread's own (the reactor's direct wait) on the
// socket and on a wake descriptor, so that another thread ends it at once:
// cancel() or close() for a connection, wake() or close() for a listener,
// TcpStop::stop() for a connect.
//
// Addresses are IPv4 in network order (as the dotted form reads in memory);
// ports are plain numbers.
#pragma once

#include "zor/platform/fd_transport.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

constexpr std::uint32_t kAnyAddress = 0;           // listen on all interfaces; leave from any
constexpr std::uint32_t kNoAddress = 0xffffffffu;  // what parseIpv4 gives for text that is no address

struct TcpAddress {
  std::uint32_t address = kAnyAddress;
  int port = 0;
};

// The network-order address of a dotted IPv4 address; kNoAddress when it is none.
std::uint32_t parseIpv4(const char* dotted);
std::string formatIpv4(std::uint32_t address);
bool isLoopbackAddress(std::uint32_t address);
// A host name or a dotted address; false with WSAHOST_NOT_FOUND in *error.
bool resolveIpv4(const std::string& host, std::uint32_t* address, DWORD* error);
// The local address a connection to `to` would leave from; false with *error.
bool localAddressTo(std::uint32_t to, std::uint32_t* local, DWORD* error);
// This computer's name; empty when it has none.
std::string localHostName();

enum class PeerOwner {
  Same,     // a socket of this computer owned by the user this process runs as
  Other,    // a socket of this computer owned by another user, or not in use by a live connection
  Unknown,  // no socket of this computer: the peer is another host (or the kernel cannot tell)
};
constexpr unsigned long kNoUser = ~0ul;

// Ends a connect from another thread; once stopped it stays so, and later
// connects that use it fail at once. One connect waits on it at a time.
class TcpStop {
public:
  TcpStop();
  void stop();
  bool stopped() const { return m_stopped.load(); }

private:
  friend class TcpTransport;
  std::atomic<bool> m_stopped{false};
  std::shared_ptr<Reactor::WakeDescriptor> m_wake;
};

// A connected socket. Errors: WSAE... codes of the socket calls, except
// ERROR_BROKEN_PIPE once the peer ended the connection, ERROR_OPERATION_ABORTED
// for a cancelled wait and ERROR_INVALID_HANDLE once closed.
class TcpTransport final : public DescriptorTransport {
public:
  // Connects to `to` within timeoutMs, leaving from bindFrom unless it is
  // kAnyAddress. nullptr with *error: WSAETIMEDOUT when the bound passed,
  // ERROR_OPERATION_ABORTED when stop was stopped.
  static std::unique_ptr<TcpTransport> connect(const TcpAddress& to, unsigned long timeoutMs, DWORD* error,
                                               std::uint32_t bindFrom = kAnyAddress, TcpStop* stop = nullptr);
  // Takes ownership of a connected socket's descriptor (the listener's accept).
  explicit TcpTransport(int fd) : DescriptorTransport(fd, ERROR_INVALID_HANDLE) {}
  ~TcpTransport() override { close(); }

  // Writes all of size bytes however long the peer takes to make room; only
  // an error, cancel(false) or close ends it early. False with *error.
  bool writeAll(const void* data, unsigned long size, DWORD* error);

  TcpAddress localAddress() const;
  TcpAddress peerAddress() const;
  // The owner of the other end, by the kernel's socket diagnostics: only an
  // established socket of this computer counts as found. uid (when not null)
  // receives the owner, or kNoUser.
  PeerOwner peerOwner(unsigned long* uid = nullptr) const;
  // True once the peer has ended its sending or the connection failed, even
  // while received bytes wait unread; also once closed. Never waits.
  bool peerHasLeft() const { return socketPeerHasLeft(); }

private:
  long attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) override;
  // Ends the connection at once: waits on other threads return, and the peer sees it end.
  void beforeClose(int fd) override;
};

// A listening socket; accept and its waits run on one thread at a time.
class TcpListener {
public:
  TcpListener();
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds to the address and port and listens; the port may be taken again
  // while connections of an earlier listener linger, but not while one listens.
  bool open(const TcpAddress& at, DWORD* error, int backlog = 4096);
  // Waits at most timeoutMs for a caller in the queue (callers true) or only
  // for wake() (callers false, so that callers wait in the queue). 1 when a
  // caller is there; 0 when the bound passed or wake() came; -1 when the
  // listener cannot be watched.
  int waitCaller(int timeoutMs, bool callers);
  // Takes a caller, waiting at most timeoutMs; nullptr with *error
  // (WSAETIMEDOUT, ERROR_OPERATION_ABORTED after wake(), ...).
  std::unique_ptr<TcpTransport> accept(int timeoutMs, TcpAddress* caller, DWORD* error);
  // Ends the present or next wait at once. Safe from any thread.
  void wake();
  void close();
  bool isOpen() const { return m_fd >= 0; }
  // Where it listens (the port the system chose when opened with port 0).
  TcpAddress address() const;

private:
  int m_fd = -1;
  std::atomic<bool> m_woken{false};
  std::shared_ptr<Reactor::WakeDescriptor> m_wake;
};

}  // namespace zor
