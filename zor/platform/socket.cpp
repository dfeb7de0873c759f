// Sockets, event selection and completion ports on POSIX.
//
// Each socket has one reactor registration, armed for what its pending
// receive and its event selection need. A completion port has no thread of
// its own: the reactor's callback performs a pending receive as its socket
// becomes readable and queues the completion, and GetQueuedCompletionStatus
// only waits for packets. A receive is taken off the pending list, and only
// performed while on it, under the port's mutex, so it is performed, queued
// and delivered exactly once and never after close took it off.
//
// An event selection records its network events from the same callback and
// is not watched again before they were taken (WSAEnumNetworkEvents,
// WSAResetEvent): a socket that stays hung up cannot make any thread spin.
#include "zor/platform/socket.h"

#include "zor/platform/fail.h"
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zor {
namespace {

class SocketObject;
class PortObject;
class NetEventObject;

// Both outlive handles closed during static destruction.
std::mutex& selectMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// Signalled whenever an event records network events; under selectMutex().
std::condition_variable& selectChanged() {
  static std::condition_variable* c = new std::condition_variable;
  return *c;
}

int failErrno(int err) { return fail(socketErrorFromErrno(err), SOCKET_ERROR); }

class SocketObject : public HandleObject, public std::enable_shared_from_this<SocketObject> {
public:
  explicit SocketObject(int descriptor) : fd(descriptor) {}
  ~SocketObject() override {
    if (m_reactorId != 0) Reactor::instance().remove(m_reactorId);
    ::close(fd);
  }

  BOOL close() override;

  const int fd;
  std::atomic<bool> closed{false};
  std::atomic<bool> listening{false};
  Reactor::WaitStop waitStop;  // ends accept and connect when the socket closes

  std::shared_ptr<PortObject> associatedPort() {
    std::lock_guard lock(portMutex);
    return port.lock();
  }
  // Associates once; false when already associated.
  bool associate(const std::shared_ptr<PortObject>& p, ULONG_PTR k) {
    std::lock_guard lock(portMutex);
    if (port.lock()) return false;
    port = p;
    key = k;
    return true;
  }
  ULONG_PTR portKey() {
    std::lock_guard lock(portMutex);
    return key;
  }

  std::mutex portMutex;
  std::weak_ptr<PortObject> port;
  ULONG_PTR key = 0;

  // Under selectMutex().
  std::weak_ptr<NetEventObject> selectEvent;
  long selectMask = 0;
  bool selectFired = false;  // reported; not watched again until taken

  // What the selection needs watched now; under selectMutex().
  unsigned selectInterestLocked() const {
    if (closed.load() || selectFired || selectEvent.expired()) return 0;
    if (listening.load()) return (selectMask & FD_ACCEPT) ? Reactor::kReadable : 0;
    if (selectMask & FD_READ) return Reactor::kReadable;
    return (selectMask & FD_CLOSE) ? Reactor::kHangUp : 0;
  }

  // The pending receive (under the port's mutex) and the selection (under
  // selectMutex()) each set what they need watched; arm: re-arm at once.
  // False with errno when the reactor refuses the socket.
  enum Need { kReceive, kSelect };
  bool want(Need need, unsigned interest, bool arm = true) {
    std::lock_guard lock(m_armMutex);
    m_wants[need] = interest;
    return !arm || armLocked();
  }
  bool rearm() {
    std::lock_guard lock(m_armMutex);
    return armLocked();
  }
  void onReady(unsigned events);

private:
  bool armLocked();

  std::mutex m_armMutex;  // after the port's mutex and selectMutex()
  Reactor::Id m_reactorId = 0;
  unsigned m_wants[2] = {0, 0};
  bool m_unwatched = false;  // closed: never registered again
};

struct Packet {
  DWORD count;
  ULONG_PTR key;
  OVERLAPPED* ovl;
  DWORD error;
};

class PortObject : public HandleObject {
public:
  BOOL close() override {
    std::lock_guard lock(mutex);
    closed = true;
    // Receives still pending end with the port; their buffers are not touched again.
    for (auto& p : pending) p.socket->want(SocketObject::kReceive, 0);
    pending.clear();
    changed.notify_all();
    return TRUE;
  }

  struct Pending {
    std::shared_ptr<SocketObject> socket;
    char* buffer;
    unsigned long length;
    OVERLAPPED* ovl;
    ULONG_PTR key;
  };

  // Tries the receive of p; true when it finished (completion queued).
  bool tryReceive(const Pending& p) {
    ssize_t n = ::recv(p.socket->fd, p.buffer, p.length, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
    DWORD error = ERROR_SUCCESS;
    DWORD count = 0;
    if (n < 0) {
      error = p.socket->closed.load() ? ERROR_OPERATION_ABORTED : socketErrorFromErrno(errno);
    } else {
      count = static_cast<DWORD>(n);
    }
    completeOverlapped(p.ovl, error, count);
    packets.push_back({count, p.key, p.ovl, error});
    return true;
  }

  // From the reactor: performs the receive of s if it is still pending.
  void receiveReady(SocketObject& s) {
    std::lock_guard lock(mutex);
    auto it =
        std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.socket.get() == &s; });
    bool waiting = it != pending.end();
    // A closing socket's receive is aborted by close itself.
    if (waiting && !s.closed.load() && tryReceive(*it)) {
      pending.erase(it);
      waiting = false;
      changed.notify_all();
    }
    s.want(SocketObject::kReceive, waiting ? Reactor::kReadable : 0, false);
  }

  std::mutex mutex;
  std::deque<Packet> packets;
  std::vector<Pending> pending;
  bool closed = false;
  std::condition_variable changed;
};

// Recorded by WSASetEvent; outside every network event bit.
constexpr long kSetByHand = 1L << 30;

class NetEventObject : public HandleObject {
public:
  // Under selectMutex().
  std::vector<std::weak_ptr<SocketObject>> sockets;
  long recorded = 0;
};

std::shared_ptr<SocketObject> lookupSocket(SOCKET s) {
  auto object = lookupHandleAs<SocketObject>(socketHandle(s));
  if (!object || object->closed.load()) {
    SetLastError(WSAENOTSOCK);
    return nullptr;
  }
  return object;
}

bool SocketObject::armLocked() {
  if (m_unwatched) return true;
  unsigned interest = m_wants[kReceive] | m_wants[kSelect];
  if (m_reactorId == 0) {
    if (interest == 0) return true;
    std::weak_ptr<SocketObject> self = weak_from_this();
    m_reactorId = Reactor::instance().add(fd, [self](unsigned events) {
      if (auto s = self.lock()) s->onReady(events);
    });
    if (m_reactorId == 0) return false;
  }
  return Reactor::instance().arm(m_reactorId, interest);
}

// Network events that readiness stands for on socket s.
long networkEvents(const SocketObject& s, bool readable, bool hungUp) {
  if (s.listening.load()) return readable ? FD_ACCEPT : 0;
  long events = 0;
  if (readable) events |= FD_READ;
  if (hungUp) events |= FD_CLOSE;
  return events;
}

void SocketObject::onReady(unsigned events) {
  if (closed.load()) return;
  if (auto owner = associatedPort())
    owner->receiveReady(*this);
  else
    want(kReceive, 0, false);
  {
    std::lock_guard lock(selectMutex());
    auto ev = selectEvent.lock();
    bool broken = (events & (Reactor::kError | Reactor::kHangUp)) != 0;
    if (ev && selectInterestLocked() != 0) {
      long got = networkEvents(*this, (events & Reactor::kReadable) != 0, broken) & selectMask;
      // A hang-up outside the mask would be reported again and again.
      if (got != 0 || broken) selectFired = true;
      if (got != 0) {
        ev->recorded |= got;
        selectChanged().notify_all();
      }
    }
    want(kSelect, selectInterestLocked(), false);
  }
  rearm();
}

// The events of ev were taken: its sockets that reported are watched again.
void rewatchLocked(NetEventObject& ev) {
  std::erase_if(ev.sockets, [](auto& w) { return w.expired(); });
  for (auto& w : ev.sockets) {
    auto sock = w.lock();
    if (!sock || !sock->selectFired || sock->selectEvent.lock().get() != &ev) continue;
    sock->selectFired = false;
    sock->want(SocketObject::kSelect, sock->selectInterestLocked());
  }
}

BOOL SocketObject::close() {
  closed.store(true);
  ::shutdown(fd, SHUT_RDWR);
  waitStop.stop();
  if (auto owner = associatedPort()) {
    std::lock_guard lock(owner->mutex);
    for (auto it = owner->pending.begin(); it != owner->pending.end(); ++it) {
      if (it->socket.get() != this) continue;
      completeOverlapped(it->ovl, ERROR_OPERATION_ABORTED, 0);
      owner->packets.push_back({0, it->key, it->ovl, ERROR_OPERATION_ABORTED});
      owner->pending.erase(it);
      break;
    }
    owner->changed.notify_all();
  }
  {
    std::lock_guard lock(selectMutex());
    selectEvent.reset();
    selectMask = 0;
  }
  // The registration goes before the descriptor does (with the last user).
  Reactor::Id id;
  {
    std::lock_guard lock(m_armMutex);
    m_unwatched = true;
    id = std::exchange(m_reactorId, 0);
  }
  if (id != 0) Reactor::instance().remove(id);
  return TRUE;
}

std::atomic<int> g_startups{0};

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
  }
  g_startups.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int n = g_startups.load();
  while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
  }
  if (n <= 0) return fail(WSANOTINITIALISED, SOCKET_ERROR);
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

SOCKET WSASocketA(int af, int type, int protocol, void*, unsigned, DWORD) {
  if (af != AF_INET || type != SOCK_STREAM || (protocol != 0 && protocol != IPPROTO_TCP)) {
    SetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  int fd = ::socket(PF_INET, ::SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    failErrno(errno);
    return INVALID_SOCKET;
  }
  HANDLE h = registerHandle(std::make_shared<SocketObject>(fd));
  if (h == nullptr) {
    SetLastError(WSAENOBUFS);
    return INVALID_SOCKET;
  }
  return reinterpret_cast<SOCKET>(h);
}

SOCKET socket(int af, int type, int protocol) { return WSASocketA(af, type, protocol, nullptr, 0, 0); }

namespace {

bool toPosix(const sockaddr* address, int length, ::sockaddr_in& out) {
  if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(address);
  if (in->sin_family != AF_INET) return false;
  std::memset(&out, 0, sizeof out);
  out.sin_family = PF_INET;
  out.sin_port = in->sin_port;
  out.sin_addr.s_addr = in->sin_addr.s_addr;
  return true;
}

void fromPosix(const ::sockaddr_in& in, sockaddr* address, int* length) {
  if (address == nullptr || length == nullptr || *length < static_cast<int>(sizeof(sockaddr_in))) return;
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(address, &out, sizeof out);
  *length = sizeof out;
}

}  // namespace

int bind(SOCKET s, const sockaddr* address, int length) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_in in;
  if (!toPosix(address, length, in)) return fail(WSAEFAULT, SOCKET_ERROR);
  // Connections accepted earlier on this port may linger in TIME_WAIT; they
  // must not keep a listener from coming back (a second listener still fails).
  int on = 1;
  ::setsockopt(sock->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(sock->fd, reinterpret_cast<::sockaddr*>(&in), sizeof in) != 0) return failErrno(errno);
  return 0;
}

int listen(SOCKET s, int backlog) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  if (::listen(sock->fd, backlog > 4096 || backlog < 0 ? 4096 : backlog) != 0) return failErrno(errno);
  // accept waits for readiness, so that a request withdrawn between the look
  // and the accept cannot leave it blocked (accepted sockets still block).
  ::fcntl(sock->fd, F_SETFL, ::fcntl(sock->fd, F_GETFL) | O_NONBLOCK);
  sock->listening.store(true);
  // A selection made before listen now waits for connections.
  std::lock_guard lock(selectMutex());
  if (!sock->want(SocketObject::kSelect, sock->selectInterestLocked())) return failErrno(errno);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
  auto sock = lookupSocket(s);
  if (!sock) return INVALID_SOCKET;
  ::sockaddr_in in;
  socklen_t len = sizeof in;
  int fd;
  for (;;) {
    fd = ::accept4(sock->fd, reinterpret_cast<::sockaddr*>(&in), &len, SOCK_CLOEXEC);
    if (fd >= 0) break;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      failErrno(errno);
      return INVALID_SOCKET;
    }
    if (sock->closed.load()) {
      SetLastError(WSAENOTSOCK);
      return INVALID_SOCKET;
    }
    if (Reactor::instance().waitReady(sock->fd, Reactor::kReadable, -1, &sock->waitStop) < 0) {
      failErrno(errno);
      return INVALID_SOCKET;
    }
    len = sizeof in;
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto accepted = std::make_shared<SocketObject>(fd);
  {
    // An accepted socket inherits the listening socket's event selection.
    std::lock_guard lock(selectMutex());
    accepted->selectEvent = sock->selectEvent;
    accepted->selectMask = sock->selectMask;
    if (auto ev = sock->selectEvent.lock()) ev->sockets.push_back(accepted);
    if (!accepted->want(SocketObject::kSelect, accepted->selectInterestLocked())) {
      failErrno(errno);
      return INVALID_SOCKET;
    }
  }
  HANDLE h = registerHandle(accepted);
  if (h == nullptr) {
    SetLastError(WSAENOBUFS);
    return INVALID_SOCKET;
  }
  fromPosix(in, address, length);
  return reinterpret_cast<SOCKET>(h);
}

int connect(SOCKET s, const sockaddr* address, int length, DWORD milliseconds) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_in in;
  if (!toPosix(address, length, in)) return fail(WSAEFAULT, SOCKET_ERROR);
  // A host that drops the request would hold the caller for minutes of SYN
  // retries: the attempt is bounded instead, as the socket library bounds it.
  int flags = ::fcntl(sock->fd, F_GETFL);
  ::fcntl(sock->fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(sock->fd, reinterpret_cast<::sockaddr*>(&in), sizeof in);
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS || err == EINTR) {
    int timeout = milliseconds > 0x7fffffff ? 0x7fffffff : static_cast<int>(milliseconds);
    int n = Reactor::instance().waitReady(sock->fd, Reactor::kWritable, timeout, &sock->waitStop);
    socklen_t len = sizeof err;
    // Ended by closesocket: the attempt's own error says how it ended.
    if (n == 0 && !sock->closed.load())
      err = ETIMEDOUT;
    else if (n < 0 || ::getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
      err = errno;
  }
  ::fcntl(sock->fd, F_SETFL, flags);
  if (err != 0) return failErrno(err);
  int on = 1;
  ::setsockopt(sock->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return 0;
}

int WSAIoctl(SOCKET s, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
             WSAOVERLAPPED*, void*) {
  if (!lookupSocket(s)) return SOCKET_ERROR;
  if (code != SIO_ROUTING_INTERFACE_QUERY) return fail(WSAEINVAL, SOCKET_ERROR);
  ::sockaddr_in to;
  if (!toPosix(static_cast<const sockaddr*>(in), static_cast<int>(inSize), to) || out == nullptr ||
      outSize < sizeof(sockaddr_in))
    return fail(WSAEFAULT, SOCKET_ERROR);
  // Connecting a datagram socket sends nothing; it only picks the route.
  int fd = ::socket(PF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failErrno(errno);
  if (to.sin_port == 0) to.sin_port = 0x0900;  // any port but 0 picks the route
  ::sockaddr_in local{};
  socklen_t len = sizeof local;
  int rc = ::connect(fd, reinterpret_cast<::sockaddr*>(&to), sizeof to) == 0 &&
                   ::getsockname(fd, reinterpret_cast<::sockaddr*>(&local), &len) == 0
               ? 0
               : errno;
  ::close(fd);
  if (rc != 0) return failErrno(rc);
  local.sin_port = 0;
  int size = static_cast<int>(outSize);
  fromPosix(local, static_cast<sockaddr*>(out), &size);
  if (returned != nullptr) *returned = sizeof(sockaddr_in);
  return 0;
}

int send(SOCKET s, const char* data, int length, int flags) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (data == nullptr && length > 0)) return fail(WSAEFAULT, SOCKET_ERROR);
  int sent = 0;
  // A blocking send returns once all of the block is buffered.
  while (sent < length) {
    ssize_t n = ::send(sock->fd, data + sent, static_cast<std::size_t>(length - sent), MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) return fail(sock->closed.load() ? WSAESHUTDOWN : WSAECONNRESET, SOCKET_ERROR);
      return failErrno(errno);
    }
    sent += static_cast<int>(n);
  }
  return sent;
}

bool withSocketDescriptor(SOCKET s, const std::function<void(int)>& use) {
  auto sock = lookupSocket(s);
  if (!sock) return false;
  use(sock->fd);
  return true;
}

int closesocket(SOCKET s) {
  auto object = unregisterHandle(socketHandle(s));
  if (!std::dynamic_pointer_cast<SocketObject>(object)) return fail(WSAENOTSOCK, SOCKET_ERROR);
  object->close();
  return 0;
}

hostent* gethostbyname(const char* name) {
  struct Entry {
    std::string name;
    std::vector<std::uint32_t> addresses;
    std::vector<char*> list;
    char* aliases[1] = {nullptr};
    hostent entry{};
  };
  thread_local Entry e;
  if (name == nullptr || *name == '\0') {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  ::addrinfo hints{};
  hints.ai_family = PF_INET;
  hints.ai_socktype = ::SOCK_STREAM;
  ::addrinfo* result = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  e.name = result->ai_canonname != nullptr ? result->ai_canonname : name;
  e.addresses.clear();
  for (::addrinfo* a = result; a != nullptr; a = a->ai_next) {
    if (a->ai_family != PF_INET) continue;
    std::uint32_t addr = reinterpret_cast<::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (auto x : e.addresses) seen = seen || x == addr;
    if (!seen) e.addresses.push_back(addr);
  }
  ::freeaddrinfo(result);
  if (e.addresses.empty()) {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  e.list.clear();
  for (auto& a : e.addresses) e.list.push_back(reinterpret_cast<char*>(&a));
  e.list.push_back(nullptr);
  e.entry.h_name = e.name.data();
  e.entry.h_aliases = e.aliases;
  e.entry.h_addrtype = AF_INET;
  e.entry.h_length = 4;
  e.entry.h_addr_list = e.list.data();
  return &e.entry;
}

char* inet_ntoa(in_addr address) {
  thread_local char text[INET_ADDRSTRLEN];
  ::in_addr in{};
  in.s_addr = address.s_addr;
  if (::inet_ntop(PF_INET, &in, text, sizeof text) == nullptr) text[0] = '\0';
  return text;
}

std::uint32_t inet_addr(const char* dotted) {
  ::in_addr in{};
  if (dotted == nullptr || ::inet_pton(PF_INET, dotted, &in) != 1) return INADDR_NONE;
  return in.s_addr;
}

int gethostname(char* name, int length) {
  if (name == nullptr || length <= 0) return fail(WSAEFAULT, SOCKET_ERROR);
  if (::gethostname(name, static_cast<std::size_t>(length)) != 0) return failErrno(errno);
  name[length - 1] = '\0';
  return 0;
}

WSAEVENT WSACreateEvent() { return registerHandle(std::make_shared<NetEventObject>()); }

BOOL WSACloseEvent(WSAEVENT event) {
  if (!lookupHandleAs<NetEventObject>(event)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseHandle(event);
}

BOOL WSAResetEvent(WSAEVENT event) {
  auto ev = lookupHandleAs<NetEventObject>(event);
  if (!ev) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(selectMutex());
  ev->recorded = 0;
  rewatchLocked(*ev);
  return TRUE;
}

BOOL WSASetEvent(WSAEVENT event) {
  auto ev = lookupHandleAs<NetEventObject>(event);
  if (!ev) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(selectMutex());
  // No network event: a waiter wakes and finds none when it asks.
  ev->recorded |= kSetByHand;
  selectChanged().notify_all();
  return TRUE;
}

int WSAEventSelect(SOCKET s, WSAEVENT event, long mask) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  auto ev = lookupHandleAs<NetEventObject>(event);
  if (!ev) return fail(WSAEINVAL, SOCKET_ERROR);
  std::lock_guard lock(selectMutex());
  if (auto old = sock->selectEvent.lock())
    std::erase_if(old->sockets, [&](auto& w) { return w.expired() || w.lock() == sock; });
  sock->selectEvent.reset();
  sock->selectMask = 0;
  sock->selectFired = false;
  if (mask != 0) {
    sock->selectEvent = ev;
    sock->selectMask = mask;
    ev->sockets.push_back(sock);
  }
  if (!sock->want(SocketObject::kSelect, sock->selectInterestLocked())) return failErrno(errno);
  return 0;
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, WSANETWORKEVENTS* out) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  if (out == nullptr) return fail(WSAEFAULT, SOCKET_ERROR);
  *out = WSANETWORKEVENTS{};
  // A zero-time look at the present state, not a wait.
  ::pollfd p{sock->fd, POLLIN | POLLRDHUP, 0};
  int rc = ::poll(&p, 1, 0);
  std::lock_guard lock(selectMutex());
  long events = rc > 0 ? networkEvents(*sock, (p.revents & POLLIN) != 0,
                                       (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                       : 0;
  out->lNetworkEvents = events & sock->selectMask;
  if (auto ev = lookupHandleAs<NetEventObject>(event)) {
    ev->recorded = 0;
    rewatchLocked(*ev);
  }
  // Taken from this socket whichever event it reports to.
  if (sock->selectFired) {
    sock->selectFired = false;
    sock->want(SocketObject::kSelect, sock->selectInterestLocked());
  }
  return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL, DWORD milliseconds, BOOL) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || events == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WSA_WAIT_FAILED;
  }
  std::vector<std::shared_ptr<NetEventObject>> evs;
  for (DWORD i = 0; i < count; ++i) {
    auto ev = lookupHandleAs<NetEventObject>(events[i]);
    if (!ev) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WSA_WAIT_FAILED;
    }
    evs.push_back(ev);
  }
  // The reactor records what the selected sockets report; an event with no
  // socket simply waits out the time-out.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lock(selectMutex());
  for (;;) {
    for (DWORD i = 0; i < count; ++i)
      if (evs[i]->recorded != 0) return WSA_WAIT_EVENT_0 + i;
    if (milliseconds == INFINITE)
      selectChanged().wait(lock);
    else if (selectChanged().wait_until(lock, deadline) == std::cv_status::timeout)
      break;
  }
  for (DWORD i = 0; i < count; ++i)
    if (evs[i]->recorded != 0) return WSA_WAIT_EVENT_0 + i;
  return WSA_WAIT_TIMEOUT;
}

int WSARecv(SOCKET s, WSABUF* buffers, DWORD count, DWORD* received, DWORD* flags, WSAOVERLAPPED* ovl,
            void*) {
  auto sock = lookupSocket(s);
  if (!sock) return SOCKET_ERROR;
  if (buffers == nullptr || count != 1 || ovl == nullptr) return fail(WSAEINVAL, SOCKET_ERROR);
  if (flags != nullptr) *flags = 0;
  auto port = sock->associatedPort();
  if (!port) return fail(WSAEINVAL, SOCKET_ERROR);
  ULONG_PTR key = sock->portKey();
  std::lock_guard lock(port->mutex);
  if (port->closed) return fail(WSAEINVAL, SOCKET_ERROR);
  for (auto& p : port->pending)
    if (p.socket == sock) return fail(WSAEINVAL, SOCKET_ERROR);  // one receive per socket
  beginOverlapped(ovl);
  PortObject::Pending p{sock, buffers[0].buf, buffers[0].len, ovl, key};
  if (port->tryReceive(p)) {
    const Packet& done = port->packets.back();
    if (done.error != ERROR_SUCCESS && done.error != ERROR_OPERATION_ABORTED) {
      // Failed at once: reported here, not queued.
      port->packets.pop_back();
      return fail(done.error, SOCKET_ERROR);
    }
    if (received != nullptr) *received = done.count;
    port->changed.notify_all();
    return 0;
  }
  if (!sock->want(SocketObject::kReceive, Reactor::kReadable)) {
    // Nothing could ever perform it: it fails at once instead.
    DWORD error = socketErrorFromErrno(errno);
    completeOverlapped(ovl, error, 0);
    return fail(error, SOCKET_ERROR);
  }
  port->pending.push_back(p);
  SetLastError(WSA_IO_PENDING);
  return SOCKET_ERROR;
}

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD) {
  if (file == INVALID_HANDLE_VALUE) return registerHandle(std::make_shared<PortObject>());
  auto sock = lookupHandleAs<SocketObject>(file);
  auto port = lookupHandleAs<PortObject>(existing);
  if (!sock || !port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!sock->associate(port, key)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return existing;
}

BOOL GetQueuedCompletionStatus(HANDLE h, DWORD* count, ULONG_PTR* key, OVERLAPPED** ovl, DWORD milliseconds) {
  auto port = lookupHandleAs<PortObject>(h);
  if (!port || count == nullptr || key == nullptr || ovl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *ovl = nullptr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lock(port->mutex);
  bool timedOut = false;
  for (;;) {
    if (!port->packets.empty()) {
      Packet p = port->packets.front();
      port->packets.pop_front();
      *count = p.count;
      *key = p.key;
      *ovl = p.ovl;
      if (p.error != ERROR_SUCCESS) {
        SetLastError(p.error);
        return FALSE;
      }
      return TRUE;
    }
    if (port->closed) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (timedOut) {
      SetLastError(WAIT_TIMEOUT);
      return FALSE;
    }
    if (milliseconds == INFINITE)
      port->changed.wait(lock);
    else
      timedOut = port->changed.wait_until(lock, deadline) == std::cv_status::timeout;
  }
}

BOOL PostQueuedCompletionStatus(HANDLE h, DWORD count, ULONG_PTR key, OVERLAPPED* ovl) {
  auto port = lookupHandleAs<PortObject>(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(port->mutex);
  port->packets.push_back({count, key, ovl, ERROR_SUCCESS});
  port->changed.notify_all();
  return TRUE;
}

}  // namespace zor
