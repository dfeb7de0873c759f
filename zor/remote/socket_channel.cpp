#include "zor/remote/socket_channel.h"

#include "zor/platform/platform.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace zor {

namespace {
constexpr char kBusyLine[] = "zor: another client is being served; try again later\r\n";
}

CSocketChannel::CSocketChannel(int port, std::uint32_t address, TurnedAwayHandler onTurnedAway)
    : m_port(port), m_address(address), m_onTurnedAway(std::move(onTurnedAway)) {}

CSocketChannel::~CSocketChannel() { close(); }

bool CSocketChannel::open(ReadHandler onRead, ConnectHandler onConnect) {
  m_onRead = std::move(onRead);
  m_onConnect = std::move(onConnect);
  m_stop = false;
  if (!m_listener.open({m_address, m_port}, &m_openError)) return false;
  m_boundPort = m_listener.address().port;
  if (!m_thread.Start([this](thread_func_flag flag) {
        if (flag == CWorkerThread::TFF_RUN) run();
      })) {
    m_openError = ERROR_NOT_ENOUGH_MEMORY;
    m_listener.close();
    return false;
  }
  return true;
}

void CSocketChannel::close() {
  m_stop = true;
  m_thread.RequestStop();
  m_listener.wake();
  if (auto c = client()) c->close();
  m_thread.Stop(5000);
  m_listener.close();
  std::lock_guard lock(m_clientMutex);
  m_client.reset();
  m_peer.clear();
}

std::shared_ptr<TcpTransport> CSocketChannel::client() const {
  std::lock_guard lock(m_clientMutex);
  return m_client;
}

std::string CSocketChannel::peerName() const {
  std::lock_guard lock(m_clientMutex);
  return m_peer;
}

bool CSocketChannel::peerLeft() const {
  auto c = client();
  return !c || c->peerHasLeft();
}

bool CSocketChannel::send(const std::uint8_t* data, std::size_t size) {
  auto c = client();
  if (!c) return false;
  std::lock_guard lock(m_sendMutex);
  DWORD error = ERROR_SUCCESS;
  return c->writeAll(data, static_cast<unsigned long>(size), &error);
}

bool CSocketChannel::write(const void* data, unsigned long size) {
  if (!client() || !mayWrite()) return false;
  telnet::Bytes out;
  try {
    frame(static_cast<const std::uint8_t*>(data), size, out);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return send(out.data(), out.size());
}

void CSocketChannel::run() {
  while (!m_stop.load()) {
    const int r = m_listener.waitCaller(kIdleSliceMs, true);
    if (r < 0) {
      OutputDebugStringA("zor: the listening socket cannot be watched; the server takes no more clients");
      return;
    }
    if (r == 0) continue;
    TcpAddress caller;
    DWORD error = ERROR_SUCCESS;
    std::unique_ptr<TcpTransport> s = m_listener.accept(0, &caller, &error);
    if (!s) continue;
    {
      std::lock_guard lock(m_clientMutex);
      m_client = std::shared_ptr<TcpTransport>(std::move(s));
      m_peer = formatIpv4(caller.address);
    }
    serve(client());
    {
      std::lock_guard lock(m_clientMutex);
      if (m_client) m_client->close();
      m_client.reset();
      m_peer.clear();
    }
    if (m_onConnect) m_onConnect(false);
  }
}

void CSocketChannel::serve(std::shared_ptr<TcpTransport> c) {
  if (!c) return;
  if (m_onConnect) m_onConnect(true);
  sessionStarted();
  std::vector<std::uint8_t> buffer(kReceiveSize);
  while (!m_stop.load()) {
    DWORD error = ERROR_SUCCESS;
    const long n = c->read(buffer.data(), kReceiveSize, static_cast<unsigned long>(sliceMs()), &error);
    if (n < 0) return;  // gone, or closed by close()
    if (n > 0 && !take(buffer.data(), static_cast<std::size_t>(n))) return;
    if (m_listener.waitCaller(0, true) > 0) {
      // A client that went just as the next one called makes way for it, its last bytes delivered.
      if (c->peerHasLeft()) {
        deliverRest(*c, buffer);
        return;
      }
      turnAway();  // it hears at once that it would wait in vain
    }
    tick();
  }
}

bool CSocketChannel::take(const std::uint8_t* data, std::size_t size) {
  m_payload.clear();
  if (!received(data, size, m_payload)) return false;
  // The relay hands each piece to the device whole, so a piece must fit a transmit ring.
  for (std::size_t at = 0; at < m_payload.size() && m_onRead; at += kDeliverSize)
    m_onRead(m_payload.data() + at,
             static_cast<unsigned long>(std::min(kDeliverSize, m_payload.size() - at)));
  return true;
}

void CSocketChannel::deliverRest(TcpTransport& c, std::vector<std::uint8_t>& buffer) {
  // Bounded: what the connection still holds is finite, the count of turns too.
  for (int turn = 0; turn < 4096; ++turn) {
    DWORD error = ERROR_SUCCESS;
    const long n = c.read(buffer.data(), static_cast<unsigned long>(buffer.size()), 0, &error);
    if (n <= 0 || !take(buffer.data(), static_cast<std::size_t>(n))) return;
  }
}

void CSocketChannel::turnAway() {
  TcpAddress caller;
  DWORD error = ERROR_SUCCESS;
  std::unique_ptr<TcpTransport> s = m_listener.accept(0, &caller, &error);
  if (!s) return;
  s->write(kBusyLine, sizeof kBusyLine - 1, 0, &error);
  s.reset();
  if (m_onTurnedAway) m_onTurnedAway(formatIpv4(caller.address));
}

}  // namespace zor
