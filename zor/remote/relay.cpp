#include "zor/remote/relay.h"

#include <zor/app.h>
#include <zor/strings.h>

#include "zor/platform/tcp.h"

#include <algorithm>
#include <new>
#include <vector>

namespace zor {

CRelayServer::CRelayServer(CDevice* device, HWND notify)
    : m_pDevice(device), m_notify(notify), m_wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

CRelayServer::~CRelayServer() {
  Stop();
  if (m_wake != nullptr) CloseHandle(m_wake);
}

bool CRelayServer::Start(std::unique_ptr<CRelayChannel> channel) {
  if (!channel || m_channel.load() != nullptr) return false;
  // Set before it opens: a client may come before open returns.
  CRelayChannel* raw = channel.release();
  m_channel = raw;
  if (!raw->open([this](const void* data, unsigned long size) { clientSent(data, size); },
                 [this](bool connected) { linkChanged(connected); })) {
    m_channel = nullptr;
    delete raw;
    return false;
  }
  m_stop = false;
  {
    std::lock_guard turn(m_sendTurn);
    m_pending.clear();
    m_pendingSent = 0;
    try {
      m_atOnce.resize(kRelayChunkMin);
      m_pending.reserve(kRelayChunkMin);
    } catch (const std::bad_alloc&) {
      m_atOnce.clear();  // short of memory: the relay thread sends everything
    }
  }
  // Before the thread: what arrives before the hook is in place, its first pass takes.
  if (m_pDevice != nullptr && m_wake != nullptr) m_pDevice->SetReceivedHook(&CRelayServer::received, this);
  m_relay.Start([this](thread_func_flag flag) {
    if (flag == CWorkerThread::TFF_INIT) m_stop = false;
    if (flag == CWorkerThread::TFF_RUN) relayLoop();
  });
  if (std::string name = localHostName(); !name.empty()) m_hostName = name;
  return true;
}

void CRelayServer::Stop() {
  CRelayChannel* channel = m_channel.load();
  if (channel == nullptr) return;
  // Closing the channel first ends a write to a client that does not read,
  // which would otherwise hold the relay thread.
  m_stop = true;
  if (m_pDevice != nullptr) m_pDevice->SetReceivedHook(nullptr, nullptr);
  channel->close();
  m_relay.Stop(6000);
  delete m_channel.exchange(nullptr);
}

std::string CRelayServer::peerAddress() const {
  CRelayChannel* channel = m_channel.load();
  return channel != nullptr ? channel->peerName() : std::string();
}

std::string CRelayServer::lastPeerAddress() const {
  std::lock_guard lock(m_peerMutex);
  return m_lastPeer;
}

void CRelayServer::clientSent(const void* data, unsigned long size) {
  CDevice* device = m_pDevice;
  if (device == nullptr) return;
  // The device's own write would wait up to "I/O Write Timeout" for room, for
  // every chunk, while the channel holds on to its client. The wait for room
  // is made here in slices instead: bytes of a client that left go only where
  // there is room at once, and are dropped otherwise, so the next client is
  // served without delay.
  const DWORD start = GetTickCount();
  while (device->IsDeviceOpen() && device->GetMaxTransferSize() < size) {
    CRelayChannel* channel = m_channel.load();
    if (m_stop.load() || channel == nullptr || channel->peerLeft() ||
        GetTickCount() - start > static_cast<DWORD>(theApp.m_ioWriteTimeout))
      return;
    device->WaitTxTaken(device->TxTakenCount(), kRoomSliceMs);
  }
  // A device that cannot take the bytes drops them.
  if (device->WriteBuffer(static_cast<const unsigned char*>(data), size))
    device->LogRelay(LOG_SERVER_RCV, data, size);
}

void CRelayServer::linkChanged(bool connected) {
  if (connected) {
    CRelayChannel* channel = m_channel.load();
    std::lock_guard lock(m_peerMutex);
    if (channel != nullptr) m_lastPeer = channel->peerName();
  }
  if (m_notify != nullptr) PostMessageA(m_notify, WM_PIPE_STATE, connected ? LINK_CONNECTED : LINK_LEFT, 0);
}

void CRelayServer::clientDropped(const std::string& peer) {
  {
    std::lock_guard lock(m_peerMutex);
    m_lastPeer = peer;
  }
  if (m_notify != nullptr) PostMessageA(m_notify, WM_PIPE_STATE, LINK_DROPPED, 0);
}

void CRelayServer::received(void* self) { static_cast<CRelayServer*>(self)->sendAtOnce(); }

// On the device's receiving thread, which must not wait: the bytes go to the
// client when it takes them at once, and otherwise (another send under way,
// a client that is slow or gone) to the relay thread.
void CRelayServer::sendAtOnce() {
  std::unique_lock turn(m_sendTurn, std::try_to_lock);
  CRelayChannel* channel = m_channel.load();
  if (!turn.owns_lock() || !m_pending.empty() || m_atOnce.empty() || channel == nullptr || m_stop.load()) {
    SetEvent(m_wake);
    return;
  }
  const unsigned long count =
      m_pDevice->ReadBuffer(m_atOnce.data(), static_cast<unsigned long>(m_atOnce.size()));
  if (count == 0) return;
  const long sent = channel->writeNow(m_atOnce.data(), count);
  if (sent == static_cast<long>(count)) {
    m_pDevice->LogRelay(LOG_SERVER_SENT, m_atOnce.data(), count);
    if (m_pDevice->GetRxBufferCount() > 0) SetEvent(m_wake);
    return;
  }
  // Within the capacity reserved at the start: no allocation here.
  m_pending.assign(m_atOnce.data(), m_atOnce.data() + count);
  m_pendingSent = sent > 0 ? static_cast<unsigned long>(sent) : 0;
  SetEvent(m_wake);
}

// The relay thread's pass: what the receiving thread left, then all the device
// holds, each write waiting for the client as long as its channel lets it.
void CRelayServer::forward(std::vector<unsigned char>& buffer) {
  std::lock_guard turn(m_sendTurn);
  CRelayChannel* channel = m_channel.load();
  auto send = [&](const unsigned char* data, unsigned long count, unsigned long alreadySent) {
    if (channel != nullptr && channel->write(data + alreadySent, count - alreadySent))
      m_pDevice->LogRelay(LOG_SERVER_SENT, data, count);
    else
      m_pDevice->LogRelay(LOG_EVENT, nullptr, IDS_PIPE_WRITE_ERROR);
  };
  if (!m_pending.empty()) {
    send(m_pending.data(), static_cast<unsigned long>(m_pending.size()), m_pendingSent);
    m_pending.clear();
    m_pendingSent = 0;
  }
  while (channel != nullptr && !m_stop.load() && m_pDevice->IsDeviceOpen()) {
    // Grows to what the device holds, so that one write forwards all of it:
    // the client's pace, not a fixed slice, decides how fast the ring empties.
    const unsigned long waiting = std::min(m_pDevice->GetRxBufferCount(), kRelayChunkMax);
    try {
      if (waiting > buffer.size()) buffer.resize(waiting);
    } catch (const std::bad_alloc&) {
      // Short of memory: the buffer already there forwards it in turns.
    }
    const unsigned long count =
        m_pDevice->ReadBuffer(buffer.data(), static_cast<unsigned long>(buffer.size()));
    if (count == 0) return;
    send(buffer.data(), count, 0);
  }
}

void CRelayServer::relayLoop() {
  std::vector<unsigned char> buffer(kRelayChunkMin);
  HANDLE handles[2] = {m_relay.ExitEvent(), m_wake};
  while (!m_stop.load()) {
    if (m_pDevice != nullptr) forward(buffer);
    // A slice bounds what a lost wake-up could cost, and takes up a device
    // that came back after a close.
    if (WaitForMultipleObjects(2, handles, FALSE, kRelaySliceMs) == WAIT_OBJECT_0) m_stop = true;
  }
}

}  // namespace zor
