// TCP connections and listeners on non-blocking sockets: a transfer tries
// first and only waits, in the reactor's direct wait, when the socket has
// nothing for it.
#include "zor/platform/tcp.h"

#include "zor/platform/platform.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <climits>

namespace zor {
namespace {

using Clock = std::chrono::steady_clock;

::sockaddr_in toPosix(const TcpAddress& a) {
  ::sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<std::uint16_t>(a.port));
  in.sin_addr.s_addr = a.address;
  return in;
}

TcpAddress fromPosix(const ::sockaddr_in& in) { return {in.sin_addr.s_addr, ntohs(in.sin_port)}; }

int noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// What is left of a bound that started at start, for poll (-1: none left to count).
int remainingMs(Clock::time_point start, unsigned long timeoutMs) {
  if (timeoutMs == INFINITE) return INT_MAX;
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  long long left = static_cast<long long>(timeoutMs) - spent;
  return left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
}

bool failWith(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return false;
}

}  // namespace

std::uint32_t parseIpv4(const char* dotted) {
  ::in_addr in{};
  if (dotted == nullptr || ::inet_pton(AF_INET, dotted, &in) != 1) return kNoAddress;
  return in.s_addr;
}

std::string formatIpv4(std::uint32_t address) {
  char text[INET_ADDRSTRLEN];
  ::in_addr in{};
  in.s_addr = address;
  return ::inet_ntop(AF_INET, &in, text, sizeof text) != nullptr ? text : "";
}

bool isLoopbackAddress(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

bool resolveIpv4(const std::string& host, std::uint32_t* address, DWORD* error) {
  if (host.empty()) return failWith(error, WSAHOST_NOT_FOUND);
  ::addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  ::addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
    return failWith(error, WSAHOST_NOT_FOUND);
  *address = reinterpret_cast<::sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

bool localAddressTo(std::uint32_t to, std::uint32_t* local, DWORD* error) {
  // Connecting a datagram socket sends nothing; it only picks the route.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failWith(error, socketErrorFromErrno(errno));
  ::sockaddr_in dest = toPosix({to, 9});  // any port but 0 picks the route
  ::sockaddr_in from{};
  socklen_t length = sizeof from;
  int rc = ::connect(fd, reinterpret_cast<::sockaddr*>(&dest), sizeof dest) == 0 &&
                   ::getsockname(fd, reinterpret_cast<::sockaddr*>(&from), &length) == 0
               ? 0
               : errno;
  ::close(fd);
  if (rc != 0) return failWith(error, socketErrorFromErrno(rc));
  *local = from.sin_addr.s_addr;
  return true;
}

std::string localHostName() {
  char name[256];
  if (::gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

TcpStop::TcpStop() : m_wake(std::make_shared<Reactor::WakeDescriptor>()) {}

void TcpStop::stop() {
  m_stopped = true;
  m_wake->wake();
}

std::unique_ptr<TcpTransport> TcpTransport::connect(const TcpAddress& to, unsigned long timeoutMs,
                                                    DWORD* error, std::uint32_t bindFrom, TcpStop* stop) {
  auto failed = [error](DWORD code) {
    failWith(error, code);
    return nullptr;
  };
  if (stop != nullptr && stop->stopped()) return failed(ERROR_OPERATION_ABORTED);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(socketErrorFromErrno(errno));
  auto transport = std::make_unique<TcpTransport>(fd);
  if (bindFrom != kAnyAddress) {
    ::sockaddr_in from = toPosix({bindFrom, 0});
    if (::bind(fd, reinterpret_cast<::sockaddr*>(&from), sizeof from) != 0)
      return failed(socketErrorFromErrno(errno));
  }
  ::sockaddr_in in = toPosix(to);
  int err = ::connect(fd, reinterpret_cast<::sockaddr*>(&in), sizeof in) == 0 ? 0 : errno;
  // A host that drops the request would hold the caller for minutes of SYN
  // retries: the attempt is bounded instead.
  auto start = Clock::now();
  while (err == EINPROGRESS || err == EINTR || err == EALREADY) {
    if (stop != nullptr && stop->stopped()) return failed(ERROR_OPERATION_ABORTED);
    int left = remainingMs(start, timeoutMs);
    if (left == 0) return failed(WSAETIMEDOUT);
    int wakeFd = stop != nullptr ? stop->m_wake->fd : -1;
    int n = Reactor::waitReadyOrWoken(fd, Reactor::kWritable, wakeFd, left);
    if (n < 0) return failed(socketErrorFromErrno(errno));
    if ((n & (Reactor::kWritable | Reactor::kError | Reactor::kHangUp)) == 0) continue;
    socklen_t length = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  }
  if (err != 0) return failed(socketErrorFromErrno(err));
  noDelay(fd);
  return transport;
}

void TcpTransport::beforeClose(int fd) { ::shutdown(fd, SHUT_RDWR); }

long TcpTransport::attempt(bool input, int fd, char* bytes, unsigned long size, unsigned, DWORD* code) {
  ssize_t n;
  do n = input ? ::recv(fd, bytes, size, MSG_DONTWAIT) : ::send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n > 0) return static_cast<long>(n);
  if (n == 0) {
    // The peer has ended its sending (a send that takes nothing has no room).
    if (!input) return kWait;
    *code = closing() ? ERROR_INVALID_HANDLE : ERROR_BROKEN_PIPE;
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return kWait;
  const DWORD failure = !input && errno == EPIPE ? ERROR_BROKEN_PIPE : socketErrorFromErrno(errno);
  *code = closing() ? ERROR_INVALID_HANDLE : failure;
  return -1;
}

bool TcpTransport::writeAll(const void* data, unsigned long size, DWORD* error) {
  unsigned long sent = 0;
  while (sent < size) {
    // Slices of a second: each ends at once on an error, a cancel or close.
    long n = write(static_cast<const char*>(data) + sent, size - sent, 1000, error);
    if (n < 0) return false;
    sent += static_cast<unsigned long>(n);
  }
  return true;
}

namespace {

// One end's address of a connection (getsockname or getpeername); none once closed.
template <class F>
TcpAddress addressOf(int fd, F nameOf) {
  ::sockaddr_in in{};
  socklen_t length = sizeof in;
  if (fd < 0 || nameOf(fd, reinterpret_cast<::sockaddr*>(&in), &length) != 0) return {};
  return fromPosix(in);
}

}  // namespace

TcpAddress TcpTransport::localAddress() const {
  return withDescriptor([](int fd) { return addressOf(fd, ::getsockname); });
}

TcpAddress TcpTransport::peerAddress() const {
  return withDescriptor([](int fd) { return addressOf(fd, ::getpeername); });
}

TcpListener::TcpListener() : m_wake(std::make_shared<Reactor::WakeDescriptor>()) {}

TcpListener::~TcpListener() { close(); }

bool TcpListener::open(const TcpAddress& at, DWORD* error, int backlog) {
  close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failWith(error, socketErrorFromErrno(errno));
  // Connections accepted earlier on this port may linger in TIME_WAIT; they
  // must not keep a listener from coming back (a second listener still fails).
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::sockaddr_in in = toPosix(at);
  if (::bind(fd, reinterpret_cast<::sockaddr*>(&in), sizeof in) != 0 || ::listen(fd, backlog) != 0) {
    int err = errno;
    ::close(fd);
    return failWith(error, socketErrorFromErrno(err));
  }
  m_fd = fd;
  return true;
}

int TcpListener::waitCaller(int timeoutMs, bool callers) {
  if (m_fd < 0) return -1;
  if (m_woken.exchange(false)) return 0;
  // Without callers only the wake descriptor is watched (poll skips a negative descriptor).
  int n = Reactor::waitReadyOrWoken(callers ? m_fd : -1, Reactor::kReadable, m_wake->fd, timeoutMs);
  if (n < 0 || (n & Reactor::kError) != 0) return -1;
  if (m_woken.exchange(false)) return 0;
  return (n & Reactor::kReadable) != 0 ? 1 : 0;
}

std::unique_ptr<TcpTransport> TcpListener::accept(int timeoutMs, TcpAddress* caller, DWORD* error) {
  auto failed = [error](DWORD code) {
    failWith(error, code);
    return nullptr;
  };
  if (m_fd < 0) return failed(ERROR_INVALID_HANDLE);
  auto start = Clock::now();
  for (;;) {
    ::sockaddr_in in{};
    socklen_t length = sizeof in;
    int fd = ::accept4(m_fd, reinterpret_cast<::sockaddr*>(&in), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (caller != nullptr) *caller = fromPosix(in);
      return std::make_unique<TcpTransport>(noDelay(fd));
    }
    // A request withdrawn between the look and the accept is no failure.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
      return failed(socketErrorFromErrno(errno));
    int left = remainingMs(start, timeoutMs < 0 ? INFINITE : static_cast<unsigned long>(timeoutMs));
    if (left == 0) return failed(WSAETIMEDOUT);
    if (m_woken.exchange(false)) return failed(ERROR_OPERATION_ABORTED);
    if (Reactor::waitReadyOrWoken(m_fd, Reactor::kReadable, m_wake->fd, left) < 0)
      return failed(socketErrorFromErrno(errno));
    if (m_woken.exchange(false)) return failed(ERROR_OPERATION_ABORTED);
  }
}

TcpAddress TcpListener::address() const {
  ::sockaddr_in in{};
  socklen_t length = sizeof in;
  if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<::sockaddr*>(&in), &length) != 0) return {};
  return fromPosix(in);
}

void TcpListener::wake() {
  m_woken = true;
  m_wake->wake();
}

void TcpListener::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

}  // namespace zor
