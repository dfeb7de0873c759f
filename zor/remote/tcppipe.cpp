#include "zor/remote/tcppipe.h"

#include <zor/app.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace zor {

std::atomic<DWORD> CTcpPipe::s_peerWaitMs{10000};

DWORD CTcpPipe::callBackMs() {
  long ms = theApp.m_connectionTimeout;
  return ms > 0 ? static_cast<DWORD>(ms) : 5000;
}

namespace {

bool resolve(const std::string& host, int port, sockaddr_in& out) {
  hostent* entry = gethostbyname(host.c_str());
  if (entry == nullptr || entry->h_addr_list[0] == nullptr) return false;
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  std::memcpy(&out.sin_addr.s_addr, entry->h_addr_list[0], sizeof out.sin_addr.s_addr);
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return true;
}

// The local address a connection to `to` leaves from: the server calls back there.
bool localAddressTo(const sockaddr_in& to, sockaddr_in& local) {
  SOCKET probe = zor::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) return false;
  DWORD got = 0;
  sockaddr_in dest = to;
  bool ok = WSAIoctl(probe, SIO_ROUTING_INTERFACE_QUERY, &dest, sizeof dest, &local, sizeof local, &got,
                     nullptr, nullptr) == 0;
  DWORD error = GetLastError();
  closesocket(probe);
  SetLastError(error);
  return ok;
}

}  // namespace

CTcpPipe::CTcpPipe(unsigned long ioSize) : m_ioSize(ioSize) {}

CTcpPipe::CTcpPipe(ReverseTag, unsigned long ioSize) : m_ioSize(ioSize), m_isReverse(true) {}

CTcpPipe::~CTcpPipe() { shutdown(); }

void CTcpPipe::setHandlers(ReadHandler onRead, ConnectHandler onConnect, StrangerHandler onStranger) {
  m_onRead = std::move(onRead);
  m_onConnect = std::move(onConnect);
  m_onStranger = std::move(onStranger);
}

bool CTcpPipe::prepare() {
  m_broken = false;
  m_recvOvl = OVERLAPPED{};
  setPeerAddress("");
  // What an earlier preparation made (a retried call back prepares again) goes first.
  closeCompletionPort();
  delete[] m_recvBuffer;
  m_recvBuffer = new (std::nothrow) unsigned char[m_ioSize];
  if (m_recvBuffer == nullptr) return false;
  if (!m_isReverse) {
    std::shared_ptr<CTcpPipe> old;
    std::shared_ptr<CTcpPipe> child(new (std::nothrow) CTcpPipe(ReverseTag{}, m_ioSize));
    // What the server sends comes in on the reverse channel; this channel's owner takes it.
    if (child) {
      child->m_onRead = [this](const void* data, unsigned long size) {
        if (m_onRead) m_onRead(data, size);
      };
      child->m_onStranger = [this](const std::string& address) {
        if (m_onStranger) m_onStranger(address);
      };
    }
    {
      std::lock_guard lock(m_reverseMutex);
      old = std::exchange(m_reverse, child);
    }
    if (old) old->shutdown();
    if (!child) return false;
    if (!m_started) {
      WSADATA data{};
      if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
      m_started = true;
    }
  }
  m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  return m_port.load() != nullptr;
}

bool CTcpPipe::listen(int port, std::uint32_t address) {
  if (m_thread.IsRunning()) return false;
  m_host.clear();
  m_listening = true;
  m_stopping = false;
  m_portNumber = port;
  m_bindAddress = sockaddr_in{};
  m_bindAddress.sin_family = AF_INET;
  m_bindAddress.sin_addr.s_addr = address;
  m_bindAddress.sin_port = htons(static_cast<std::uint16_t>(port));
  if (!prepare() || !openListener()) {
    close();
    return false;
  }
  setState(Listening);
  if (!m_thread.Start([this](thread_func_flag flag) {
        if (flag == CWorkerThread::TFF_RUN) run();
      })) {
    close();
    setState(Stopped);
    return false;
  }
  return true;
}

bool CTcpPipe::openListener() {
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) return false;
  m_listener = s;
  if (zor::bind(s, reinterpret_cast<sockaddr*>(&m_bindAddress), sizeof m_bindAddress) != 0) return false;
  if (zor::listen(s, SOMAXCONN) != 0) return false;
  m_acceptPaused = false;
  m_acceptEvent = WSACreateEvent();
  if (m_acceptEvent == nullptr) return false;
  return WSAEventSelect(s, m_acceptEvent, FD_ACCEPT) == 0;
}

void CTcpPipe::closeListener() {
  SOCKET s = m_listener.exchange(INVALID_SOCKET);
  if (m_acceptEvent != nullptr) {
    if (s != INVALID_SOCKET) {
      WSANETWORKEVENTS discarded{};
      WSAResetEvent(m_acceptEvent);
      WSAEnumNetworkEvents(s, m_acceptEvent, &discarded);
      WSAEventSelect(s, m_acceptEvent, 0);
    }
    WSACloseEvent(m_acceptEvent);
    m_acceptEvent = nullptr;
  }
  if (s != INVALID_SOCKET) closesocket(s);
}

bool CTcpPipe::connect(const char* host, int port) {
  m_host = host != nullptr ? host : "";
  m_portNumber = port;
  m_listening = false;
  auto fail = [this] {
    DWORD error = GetLastError();
    close();
    SetLastError(error);
    return false;
  };
  sockaddr_in server{};
  if (!prepare() || !resolve(m_host, port, server)) return fail();
  // The server's call back: a single attempt, as long as a connection may take.
  if (m_isReverse) return openConnection(server, callBackMs());
  auto rev = reverse();
  sockaddr_in local{};
  if (!rev || !localAddressTo(server, local)) return fail();
  // Listening on that address alone, for that server alone: nobody else can
  // pose as the server, and the port is not offered on other networks.
  rev->m_onlyFrom = server.sin_addr.s_addr;
  if (!rev->listen(port + 1, local.sin_addr.s_addr)) return fail();
  if (!openConnection(server, 10000)) return false;
  return waitPeer();
}

bool CTcpPipe::openConnection(const sockaddr_in& to, DWORD milliseconds) {
  SOCKET s = zor::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  bool ok = s != INVALID_SOCKET;
  if (ok && m_bindFrom != INADDR_ANY) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = m_bindFrom;
    ok = zor::bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0;
  }
  if (ok) {
    m_connecting = s;
    ok = !m_abort.load() &&
         zor::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, milliseconds) == 0;
    // Taken away: abortConnect closed it.
    if (m_connecting.exchange(INVALID_SOCKET) != s) {
      ok = false;
      s = INVALID_SOCKET;
      SetLastError(WSAEINTR);
    }
  }
  if (!ok) {
    DWORD error = GetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
    close();
    SetLastError(error);
    return false;
  }
  m_socket = s;
  return true;
}

void CTcpPipe::abortConnect() {
  m_abort = true;
  SOCKET s = m_connecting.exchange(INVALID_SOCKET);
  if (s != INVALID_SOCKET) closesocket(s);
}

bool CTcpPipe::waitPeer() {
  if (m_isReverse) return true;
  auto rev = reverse();
  if (!rev) return false;
  // Wakes on every state change of the reverse channel: no polling.
  std::unique_lock lock(rev->m_stateMutex);
  ChannelState s = Stopped;
  bool settled = rev->m_stateChanged.wait_for(lock, std::chrono::milliseconds(s_peerWaitMs.load()), [&] {
    s = rev->m_state.load();
    return s == Receiving || s == Stopped;
  });
  return settled && s == Receiving;
}

bool CTcpPipe::write(const void* data, unsigned long size) {
  if (m_listening.load()) {
    auto rev = reverse();
    if (!rev) {
      SetLastError(WSAENOTCONN);
      return false;
    }
    return rev->write(data, size);
  }
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  if (size > static_cast<unsigned long>(INT_MAX)) {
    SetLastError(WSAEMSGSIZE);
    return false;
  }
  int n = zor::send(s, static_cast<const char*>(data), static_cast<int>(size), 0);
  return n == static_cast<int>(size);
}

bool CTcpPipe::writeString(const char* text) { return write(text, std::strlen(text) + 1); }

std::string CTcpPipe::peerAddress() const {
  if (!m_listening.load()) return std::string();
  std::lock_guard lock(m_peerMutex);
  return m_peerAddress;
}

void CTcpPipe::setPeerAddress(const std::string& address) {
  std::lock_guard lock(m_peerMutex);
  m_peerAddress = address;
}

std::shared_ptr<CTcpPipe> CTcpPipe::reverse() const {
  std::lock_guard lock(m_reverseMutex);
  return m_reverse;
}

void CTcpPipe::shutdown() {
  m_stopping = true;
  if (auto rev = reverse()) rev->abortConnect();
  if (HANDLE port = m_port.load()) PostQueuedCompletionStatus(port, 0, 0, nullptr);
  m_thread.Stop(5000);
  close();
}

void CTcpPipe::close() {
  if (!m_thread.IsCurrentThread() && m_thread.IsRunning()) {
    // The receiving thread must not be inside a receive while its buffer goes.
    m_stopping = true;
    if (auto rev = reverse()) rev->abortConnect();
    if (HANDLE port = m_port.load()) PostQueuedCompletionStatus(port, 0, 0, nullptr);
    m_thread.Stop(5000);
  }
  // Only this thread, or a thread that stopped it, reaches the call backs.
  endCallBacks();
  std::shared_ptr<CTcpPipe> rev;
  {
    std::lock_guard lock(m_reverseMutex);
    rev = std::move(m_reverse);
  }
  // A writer on another thread may still hold the reverse channel: it fails
  // on the closed socket, and the last holder frees it.
  if (rev) rev->shutdown();
  rev.reset();
  if (HANDLE port = m_port.load()) PostQueuedCompletionStatus(port, 0, 0, nullptr);
  SOCKET s = m_socket.exchange(INVALID_SOCKET);
  closeListener();
  if (s != INVALID_SOCKET) closesocket(s);
  if (m_started) {
    WSACleanup();
    m_started = false;
  }
  // Closing the socket cancelled a pending receive; the port goes with it.
  closeCompletionPort();
  delete[] m_recvBuffer;
  m_recvBuffer = nullptr;
  setPeerAddress("");
}

void CTcpPipe::closeCompletionPort() {
  HANDLE port = m_port.exchange(nullptr);
  if (port != nullptr) CloseHandle(port);
  m_recvOutstanding = false;
}

void CTcpPipe::setState(ChannelState s) {
  {
    std::lock_guard lock(m_stateMutex);
    m_state = s;
  }
  m_stateChanged.notify_all();
}

void CTcpPipe::markBroken() { m_broken = true; }

bool CTcpPipe::exitRequested() const { return m_stopping.load() || m_thread.ExitRequested(); }

void CTcpPipe::run() {
  while (!exitRequested()) {
    switch (m_state.load()) {
      case Listening:
        stateListening();
        break;
      case Accepting:
        stateAccepting();
        break;
      case Linking:
        stateLinking();
        break;
      case Receiving:
        receiveLoop();
        break;
      case Stopped:
        if (!m_broken.load()) return;
        // The link broke: close everything and serve the next client on the
        // same port. The thread goes on rather than being started anew.
        close();
        while (!exitRequested()) {
          if (prepare() && openListener()) {
            setState(Listening);
            break;
          }
          close();
          WaitForSingleObject(m_thread.ExitEvent(), kLinkRetryMs);
        }
        break;
    }
  }
}

bool CTcpPipe::postReceive() {
  m_recvDesc.len = m_ioSize;
  m_recvDesc.buf = reinterpret_cast<char*>(m_recvBuffer);
  DWORD received = 0;
  DWORD flags = 0;
  int rc = WSARecv(m_socket.load(), &m_recvDesc, 1, &received, &flags, &m_recvOvl, nullptr);
  if (rc == 0 || static_cast<DWORD>(WSAGetLastError()) == WSA_IO_PENDING) {
    // Completed at once or not, the completion comes through the port; the
    // buffer is not posted again before it has been taken.
    m_recvOutstanding = true;
    return true;
  }
  return false;
}

void CTcpPipe::receiveLoop() {
  bool notified = false;
  for (;;) {
    if (m_socket.load() == INVALID_SOCKET || (!m_recvOutstanding && !postReceive())) {
      markBroken();
      setState(Stopped);
      break;
    }
    if (!notified) {
      notified = true;
      if (m_onConnect) m_onConnect(true);
    }
    if (!completionWait()) break;
  }
  if (m_onConnect) m_onConnect(false);
  closeCompletionPort();
}

bool CTcpPipe::completionWait() {
  for (;;) {
    if (exitRequested()) return false;
    DWORD count = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ovl = nullptr;
    BOOL ok = GetQueuedCompletionStatus(m_port.load(), &count, &key, &ovl, 2000);
    if (!ok && ovl == nullptr) {
      if (GetLastError() == WAIT_TIMEOUT) continue;
      markBroken();
      setState(Stopped);
      return false;
    }
    if (key == 0) {
      // Posted to wake us: the channel is being closed, not broken.
      setState(Stopped);
      return false;
    }
    m_recvOutstanding = false;
    if (!ok || count == 0) {
      // Failed, aborted, or the peer closed its end.
      markBroken();
      setState(Stopped);
      return false;
    }
    if (m_onRead) m_onRead(m_recvBuffer, count);
    return true;
  }
}

}  // namespace zor
