#include "zor/remote/tcppipe.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace zor {

std::atomic<DWORD> CTcpPipe::s_peerWaitMs{10000};

CTcpPipe::CTcpPipe(unsigned long ioSize) : m_ioSize(ioSize) {}

CTcpPipe::CTcpPipe(ReverseTag, unsigned long ioSize) : m_ioSize(ioSize), m_isReverse(true) {}

CTcpPipe::~CTcpPipe() { shutdown(); }

void CTcpPipe::setHandlers(ReadHandler onRead, ConnectHandler onConnect) {
  m_onRead = std::move(onRead);
  m_onConnect = std::move(onConnect);
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
    if (child)
      child->m_onRead = [this](const void* data, unsigned long size) {
        if (m_onRead) m_onRead(data, size);
      };
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

bool CTcpPipe::listen(int port) {
  if (m_thread.IsRunning()) return false;
  m_host.clear();
  m_listening = true;
  m_stopping = false;
  m_portNumber = port;
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
  m_socket = s;
  m_bindAddress = sockaddr_in{};
  m_bindAddress.sin_family = AF_INET;
  m_bindAddress.sin_addr.s_addr = INADDR_ANY;
  m_bindAddress.sin_port = htons(static_cast<std::uint16_t>(m_portNumber.load()));
  if (zor::bind(s, reinterpret_cast<sockaddr*>(&m_bindAddress), sizeof m_bindAddress) != 0) return false;
  if (zor::listen(s, SOMAXCONN) != 0) return false;
  m_acceptEvent = WSACreateEvent();
  if (m_acceptEvent == nullptr) return false;
  return WSAEventSelect(s, m_acceptEvent, FD_ACCEPT) == 0;
}

bool CTcpPipe::connect(const char* host, int port) {
  m_host = host != nullptr ? host : "";
  m_portNumber = port;
  m_listening = false;
  if (!prepare()) return false;
  if (auto rev = reverse(); rev && !rev->listen(port + 1)) return false;
  if (!openConnection()) return false;
  return waitPeer();
}

bool CTcpPipe::openConnection() {
  SOCKET s = zor::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  bool ok = s != INVALID_SOCKET;
  if (ok) {
    hostent* entry = gethostbyname(m_host.c_str());
    ok = entry != nullptr && entry->h_addr_list[0] != nullptr;
    if (ok) {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      std::memcpy(&address.sin_addr.s_addr, entry->h_addr_list[0], sizeof address.sin_addr.s_addr);
      address.sin_port = htons(static_cast<std::uint16_t>(m_portNumber.load()));
      ok = zor::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  if (m_listening.load()) {
    auto rev = reverse();
    if (!rev) {
      SetLastError(WSAENOTCONN);
      return false;
    }
    return rev->write(data, size);
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
  if (HANDLE port = m_port.load()) PostQueuedCompletionStatus(port, 0, 0, nullptr);
  m_thread.Stop(5000);
  close();
}

void CTcpPipe::close() {
  if (!m_thread.IsCurrentThread() && m_thread.IsRunning()) {
    // The receiving thread must not be inside a receive while its buffer goes.
    m_stopping = true;
    if (HANDLE port = m_port.load()) PostQueuedCompletionStatus(port, 0, 0, nullptr);
    m_thread.Stop(5000);
  }
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

void CTcpPipe::stateListening() {
  while (!exitRequested()) {
    HANDLE event = m_acceptEvent;
    DWORD r = WSAWaitForMultipleEvents(1, &event, FALSE, 100, FALSE);
    if (r == WSA_WAIT_TIMEOUT) continue;
    if (r == WSA_WAIT_FAILED) {
      markBroken();
      setState(Stopped);
      return;
    }
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(m_socket.load(), m_acceptEvent, &events) == 0 &&
        (events.lNetworkEvents & FD_ACCEPT) != 0 && events.iErrorCode[FD_ACCEPT_BIT] == 0) {
      setState(Accepting);
      return;
    }
  }
}

void CTcpPipe::stateAccepting() {
  sockaddr_in address{};
  int length = sizeof address;
  SOCKET listener = m_socket.load();
  SOCKET s = zor::accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
  // One client per listen.
  WSAEventSelect(listener, m_acceptEvent, 0);
  closesocket(listener);
  m_socket = s;
  bool ok = s != INVALID_SOCKET;
  if (ok) {
    setPeerAddress(inet_ntoa(address.sin_addr));
    ok = CreateIoCompletionPort(socketHandle(s), m_port.load(), 1, 0) != nullptr && postReceive();
  }
  if (!ok) {
    markBroken();
    setState(Stopped);
    return;
  }
  m_acceptTick = GetTickCount();
  setState(Linking);
}

void CTcpPipe::stateLinking() {
  auto rev = reverse();
  if (!rev) {
    setState(Receiving);
    return;
  }
  std::string peer = peerAddress();
  if (!peer.empty() && rev->connect(peer.c_str(), m_portNumber.load() + 1)) {
    setState(Receiving);
    return;
  }
  // A client that never takes the call back must not hold the one-client
  // server: pause between attempts, and drop it once its own wait is over.
  if (GetTickCount() - m_acceptTick >= linkGiveUpMs()) {
    markBroken();
    setState(Stopped);
    return;
  }
  WaitForSingleObject(m_thread.ExitEvent(), kLinkRetryMs);
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
