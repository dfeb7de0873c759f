// The listening side of CTcpPipe: waiting for callers, calling them back, and
// admitting a call back as the server's.
#include "zor/remote/tcppipe.h"

#include "zor/platform/platform.h"

#include <new>
#include <string>
#include <utility>

namespace zor {

void CTcpPipe::CallBack::end() {
  reverse->abortConnect();
  thread.Stop(5000);
  reverse->shutdown();
  socket.reset();
}

void CTcpPipe::stateListening() {
  while (!exitRequested()) {
    if (reapCallBacks()) {
      setState(Linking);
      return;
    }
    // A call back that ends wakes the wait too. With every attempt in use,
    // further callers wait in the listen queue, unannounced.
    bool full = m_callBacks.size() >= kMaxCallBacks;
    int r = m_listener.waitCaller(100, !full);
    if (r < 0) {
      markBroken();
      setState(Stopped);
      return;
    }
    if (r > 0) {
      setState(Accepting);
      return;
    }
  }
}

void CTcpPipe::stateAccepting() {
  TcpAddress caller;
  DWORD error = ERROR_SUCCESS;
  // The caller was seen waiting: only one withdrawn since is not there.
  std::unique_ptr<TcpTransport> s = m_listener.accept(0, &caller, &error);
  if (!s) {
    if (error == WSAETIMEDOUT || error == ERROR_OPERATION_ABORTED) {
      setState(Listening);
      return;
    }
    markBroken();
    setState(Stopped);
    return;
  }
  if (!m_isReverse) {
    startCallBack(std::move(s), caller);
    setState(Listening);
    return;
  }
  std::string who;
  if (!admits(*s, caller, who)) {
    // Whatever an impostor sends would pass for the instrument's data.
    s.reset();
    if (m_onStranger) m_onStranger(who);
    setState(Listening);
    return;
  }
  setSocket(std::move(s));
  setPeerAddress(formatIpv4(caller.address));
  setState(Linking);
}

bool CTcpPipe::admits(const TcpTransport& s, const TcpAddress& caller, std::string& who) const {
  unsigned long uid = kNoUser;
  PeerOwner owner = s.peerOwner(&uid);
  who = formatIpv4(caller.address) + ":" + std::to_string(caller.port);
  if (uid != kNoUser) who += ", user " + std::to_string(uid);
  if (owner == PeerOwner::Other) return false;
  // On the loopback any local process calls from a server's address: only the owner tells.
  if (isLoopbackAddress(m_onlyFrom)) return owner == PeerOwner::Same;
  return m_onlyFrom == kAnyAddress || caller.address == m_onlyFrom;
}

void CTcpPipe::startCallBack(std::unique_ptr<TcpTransport> s, const TcpAddress& caller) {
  std::unique_ptr<CallBack> call(new (std::nothrow) CallBack);
  if (call) call->reverse.reset(new (std::nothrow) CTcpPipe(ReverseTag{}, m_ioSize));
  TcpAddress local = s->localAddress();
  // Without the address it reached the caller cannot be called back: it goes (with s).
  if (!call || !call->reverse || local.address == kAnyAddress) return;
  call->socket = std::move(s);
  call->wake = &m_listener;
  call->peer = formatIpv4(caller.address);
  // From the address the client reached: a client elsewhere admits only that one.
  call->reverse->m_bindFrom = local.address;
  CallBack* raw = call.get();
  int port = m_portNumber.load() + 1;
  bool started = raw->thread.Start([raw, port](thread_func_flag flag) {
    if (flag != CWorkerThread::TFF_RUN) return;
    bool answered = raw->reverse->connect(raw->peer.c_str(), port);
    raw->outcome = answered ? CallBack::kAnswered : CallBack::kFailed;
    raw->wake->wake();
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
  setSocket(std::move(winner->socket));
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
  // The caller on the connection was admitted (reverse channel) or answered its call back.
  closeListener();
  if (socket() && m_recvBuffer != nullptr) {
    setState(Receiving);
    return;
  }
  takeSocket();
  setPeerAddress("");
  markBroken();
  setState(Stopped);
}

bool CTcpPipe::peerLeft() const {
  auto rev = reverse();
  auto own = socket();
  auto back = rev ? rev->socket() : nullptr;
  return !own || own->peerHasLeft() || !back || back->peerHasLeft();
}

}  // namespace zor
