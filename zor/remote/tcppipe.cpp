#include "zor/remote/tcppipe.h"

#include <zor/app.h>

#include <chrono>
#include <cstring>
#include <new>
#include <utility>

namespace zor {

std::atomic<DWORD> CTcpPipe::s_peerWaitMs{10000};

DWORD CTcpPipe::callBackMs() {
  long ms = theApp.m_connectionTimeout;
  return ms > 0 ? static_cast<DWORD>(ms) : 5000;
}

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
  setPeerAddress("");
  // What an earlier preparation made (a retried call back prepares again) goes first.
  delete[] m_recvBuffer;
  m_recvBuffer = new (std::nothrow) unsigned char[m_ioSize];
  if (m_recvBuffer == nullptr) return false;
  if (!m_isReverse) {
    std::shared_ptr<CTcpPipe> old;
    std::shared_ptr<CTcpPipe> child(new (std::nothrow) CTcpPipe(ReverseTag{}, m_ioSize));
    // What the server sends comes in on the reverse channel; this channel's owner takes it.
    if (child) {
      child->m_ownerReads = m_ownerReads.load();
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
  }
  return true;
}

bool CTcpPipe::listen(int port, std::uint32_t address) {
  if (m_thread.IsRunning()) return false;
  m_host.clear();
  m_listening = true;
  m_stopping = false;
  m_portNumber = port;
  m_bindAddress = TcpAddress{address, port};
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
  DWORD error = ERROR_SUCCESS;
  if (m_listener.open(m_bindAddress, &error)) return true;
  SetLastError(error);
  return false;
}

void CTcpPipe::closeListener() { m_listener.close(); }

bool CTcpPipe::connect(const char* host, int port) {
  m_host = host != nullptr ? host : "";
  m_portNumber = port;
  m_listening = false;
  auto fail = [this](DWORD error) {
    close();
    SetLastError(error);
    return false;
  };
  TcpAddress server{kAnyAddress, port};
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  if (!prepare() || !resolveIpv4(m_host, &server.address, &error)) return fail(error);
  // The server's call back: a single attempt, as long as a connection may take.
  if (m_isReverse) return openConnection(server, callBackMs());
  auto rev = reverse();
  std::uint32_t local = kAnyAddress;
  if (!rev || !localAddressTo(server.address, &local, &error)) return fail(error);
  // Listening on that address alone, for that server alone: nobody else can
  // pose as the server, and the port is not offered on other networks.
  rev->m_onlyFrom = server.address;
  if (!rev->listen(port + 1, local)) return fail(GetLastError());
  if (!openConnection(server, 10000)) return false;
  return waitPeer();
}

bool CTcpPipe::openConnection(const TcpAddress& to, DWORD milliseconds) {
  DWORD error = ERROR_SUCCESS;
  std::shared_ptr<TcpTransport> s =
      TcpTransport::connect(to, milliseconds, &error, m_bindFrom, &m_connectStop);
  // Made just as the owner gave up on it: it goes all the same.
  if (s && m_connectStop.stopped()) s.reset();
  if (!s) {
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_SUCCESS) error = WSAEINTR;
    close();
    SetLastError(error);
    return false;
  }
  setSocket(std::move(s));
  return true;
}

void CTcpPipe::abortConnect() { m_connectStop.stop(); }

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
  auto s = socket();
  if (!s) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  std::lock_guard lock(m_writeMutex);
  if (s->writeAll(data, size, &error)) return true;
  // The device judges the socket codes: a peer gone, or this end closed under the send.
  if (error == ERROR_BROKEN_PIPE)
    error = WSAECONNRESET;
  else if (error == ERROR_INVALID_HANDLE)
    error = WSAESHUTDOWN;
  else if (error == ERROR_OPERATION_ABORTED)
    error = WSAEINTR;
  SetLastError(error);
  return false;
}

long CTcpPipe::writeNow(const void* data, unsigned long size) {
  if (m_listening.load()) {
    auto rev = reverse();
    return rev ? rev->writeNow(data, size) : -1;
  }
  auto s = socket();
  if (!s) return -1;
  std::unique_lock lock(m_writeMutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  DWORD error = ERROR_SUCCESS;
  return s->write(data, size, 0, &error);
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

std::shared_ptr<TcpTransport> CTcpPipe::receiving() const {
  auto rev = reverse();
  return rev && rev->m_state.load() == Receiving ? rev->socket() : nullptr;
}

std::shared_ptr<TcpTransport> CTcpPipe::socket() const {
  std::lock_guard lock(m_socketMutex);
  return m_socket;
}

std::shared_ptr<TcpTransport> CTcpPipe::takeSocket() {
  std::lock_guard lock(m_socketMutex);
  return std::exchange(m_socket, nullptr);
}

void CTcpPipe::setSocket(std::shared_ptr<TcpTransport> s) {
  std::lock_guard lock(m_socketMutex);
  m_socket = std::move(s);
}

void CTcpPipe::wakeThread() {
  if (auto s = socket()) s->cancel(true);
  m_listener.wake();
}

void CTcpPipe::shutdown() {
  m_stopping = true;
  if (auto rev = reverse()) rev->abortConnect();
  wakeThread();
  m_thread.Stop(5000);
  close();
}

void CTcpPipe::close() {
  if (!m_thread.IsCurrentThread() && m_thread.IsRunning()) {
    // The receiving thread must not be inside a receive while its buffer goes.
    m_stopping = true;
    if (auto rev = reverse()) rev->abortConnect();
    wakeThread();
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
  // A writer on another thread that still holds the connection fails at once.
  if (auto s = takeSocket()) s->close();
  closeListener();
  delete[] m_recvBuffer;
  m_recvBuffer = nullptr;
  setPeerAddress("");
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

void CTcpPipe::receiveLoop() {
  std::shared_ptr<TcpTransport> s = socket();
  if (!s || m_recvBuffer == nullptr) {
    markBroken();
    setState(Stopped);
  } else {
    if (m_onConnect) m_onConnect(true);
    if (m_ownerReads) {
      // The owner reads the connection itself and learns of its end there:
      // this thread only waits to be stopped.
      while (!exitRequested()) WaitForSingleObject(m_thread.ExitEvent(), 2000);
    } else {
      while (receiveOne(*s)) {
      }
    }
  }
  if (m_onConnect) m_onConnect(false);
}

bool CTcpPipe::receiveOne(TcpTransport& s) {
  for (;;) {
    if (exitRequested()) return false;
    DWORD error = ERROR_SUCCESS;
    // In slices, so that a stop asked without a wake is seen too.
    long n = s.read(m_recvBuffer, m_ioSize, 2000, &error);
    if (n > 0) {
      if (m_onRead) m_onRead(m_recvBuffer, static_cast<unsigned long>(n));
      return true;
    }
    if (n == 0) continue;
    if (error == ERROR_OPERATION_ABORTED) {
      // Woken to stop: the channel is being closed, not broken.
      setState(Stopped);
      return false;
    }
    // Failed, or the peer closed its end.
    markBroken();
    setState(Stopped);
    return false;
  }
}

}  // namespace zor
