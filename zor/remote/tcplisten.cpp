// The listening side of CTcpPipe: waiting for callers, calling them back, and
// admitting a call back as the server's.
#include "zor/remote/tcppipe.h"

#include "zor/platform/platform.h"
#include "zor/platform/socket_peer.h"

#include <new>
#include <string>
#include <utility>

namespace zor {

void CTcpPipe::CallBack::end() {
  reverse->abortConnect();
  thread.Stop(5000);
  reverse->shutdown();
  if (socket != INVALID_SOCKET) closesocket(socket);
  socket = INVALID_SOCKET;
}

namespace {

bool isLoopback(std::uint32_t address) {
  // The first byte in network order is the first of the dotted form.
  return *reinterpret_cast<const unsigned char*>(&address) == 127;
}

}  // namespace

void CTcpPipe::stateListening() {
  while (!exitRequested()) {
    if (reapCallBacks()) {
      setState(Linking);
      return;
    }
    // A call back that ends sets the accept event too. With every attempt in
    // use, further callers wait in the listen queue, unannounced.
    bool full = m_callBacks.size() >= kMaxCallBacks;
    if (full != m_acceptPaused) {
      WSAEventSelect(m_listener.load(), m_acceptEvent, full ? 0 : FD_ACCEPT);
      m_acceptPaused = full;
    }
    HANDLE event = m_acceptEvent;
    DWORD r = WSAWaitForMultipleEvents(1, &event, FALSE, 100, FALSE);
    if (r == WSA_WAIT_TIMEOUT) continue;
    if (r == WSA_WAIT_FAILED) {
      markBroken();
      setState(Stopped);
      return;
    }
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(m_listener.load(), m_acceptEvent, &events) == 0 &&
        (events.lNetworkEvents & FD_ACCEPT) != 0 && events.iErrorCode[FD_ACCEPT_BIT] == 0) {
      setState(Accepting);
      return;
    }
  }
}

void CTcpPipe::stateAccepting() {
  sockaddr_in address{};
  int length = sizeof address;
  SOCKET s = zor::accept(m_listener.load(), reinterpret_cast<sockaddr*>(&address), &length);
  if (s == INVALID_SOCKET) {
    markBroken();
    setState(Stopped);
    return;
  }
  if (!m_isReverse) {
    startCallBack(s, address);
    setState(Listening);
    return;
  }
  std::string who;
  if (!admits(s, address, who)) {
    // Whatever an impostor sends would pass for the instrument's data.
    closesocket(s);
    if (m_onStranger) m_onStranger(who);
    setState(Listening);
    return;
  }
  m_socket = s;
  setPeerAddress(inet_ntoa(address.sin_addr));
  setState(Linking);
}

bool CTcpPipe::admits(SOCKET s, const sockaddr_in& caller, std::string& who) const {
  unsigned long uid = kNoUser;
  PeerOwner owner = connectionPeerOwner(s, &uid);
  who = std::string(inet_ntoa(caller.sin_addr)) + ":" + std::to_string(ntohs(caller.sin_port));
  if (uid != kNoUser) who += ", user " + std::to_string(uid);
  if (owner == PeerOwner::Other) return false;
  // On the loopback any local process calls from a server's address: only the owner tells.
  if (isLoopback(m_onlyFrom)) return owner == PeerOwner::Same;
  return m_onlyFrom == INADDR_ANY || caller.sin_addr.s_addr == m_onlyFrom;
}

void CTcpPipe::startCallBack(SOCKET s, const sockaddr_in& caller) {
  std::unique_ptr<CallBack> call(new (std::nothrow) CallBack);
  if (call) call->reverse.reset(new (std::nothrow) CTcpPipe(ReverseTag{}, m_ioSize));
  sockaddr_in local{};
  int length = sizeof local;
  if (!call || !call->reverse || zor::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    closesocket(s);
    return;
  }
  call->socket = s;
  call->wake = m_acceptEvent;
  call->peer = inet_ntoa(caller.sin_addr);
  // From the address the client reached: a client elsewhere admits only that one.
  call->reverse->m_bindFrom = local.sin_addr.s_addr;
  CallBack* raw = call.get();
  int port = m_portNumber.load() + 1;
  bool started = raw->thread.Start([raw, port](thread_func_flag flag) {
    if (flag != CWorkerThread::TFF_RUN) return;
    bool answered = raw->reverse->connect(raw->peer.c_str(), port);
    raw->outcome = answered ? CallBack::kAnswered : CallBack::kFailed;
    WSASetEvent(raw->wake);
  });
  if (!started) {
    call->end();
    return;
  }
  m_callBacks.push_back(std::move(call));
}

bool CTcpPipe::reapCallBacks() {
  std::unique_ptr<CallBack> winner;
  for (auto it = m_callBacks.begin(); it != m_callBacks.end();) {
    CallBack::Outcome outcome = (*it)->outcome.load();
    if (outcome == CallBack::kCalling) {
      ++it;
      continue;
    }
    (*it)->thread.Stop(5000);
    if (outcome == CallBack::kAnswered && !winner)
      winner = std::move(*it);
    else
      (*it)->end();
    it = m_callBacks.erase(it);
  }
  if (!winner) return false;
  // One client at a time: the others are dropped, and they see it at once.
  endCallBacks();
  m_socket = std::exchange(winner->socket, INVALID_SOCKET);
  setPeerAddress(winner->peer);
  std::shared_ptr<CTcpPipe> old;
  {
    std::lock_guard lock(m_reverseMutex);
    old = std::exchange(m_reverse, winner->reverse);
  }
  if (old) old->shutdown();
  return true;
}

void CTcpPipe::endCallBacks() {
  for (auto& call : m_callBacks) call->end();
  m_callBacks.clear();
}

void CTcpPipe::stateLinking() {
  // The caller on m_socket was admitted (reverse channel) or answered its call back.
  closeListener();
  if (CreateIoCompletionPort(socketHandle(m_socket.load()), m_port.load(), 1, 0) != nullptr &&
      postReceive()) {
    setState(Receiving);
    return;
  }
  SOCKET s = m_socket.exchange(INVALID_SOCKET);
  if (s != INVALID_SOCKET) closesocket(s);
  setPeerAddress("");
  markBroken();
  setState(Stopped);
}

bool CTcpPipe::peerLeft() const {
  auto rev = reverse();
  return peerHasLeft(m_socket.load()) || !rev || peerHasLeft(rev->m_socket.load());
}

}  // namespace zor
