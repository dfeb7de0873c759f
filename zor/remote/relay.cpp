#include "zor/remote/relay.h"

#include <zor/app.h>
#include <zor/strings.h>

#include "zor/platform/tcp.h"

#include <algorithm>
#include <new>
#include <vector>

namespace zor {

CRelayServer::CRelayServer(CDevice* device, HWND notify) : m_pDevice(device), m_notify(notify) {}

CRelayServer::~CRelayServer() { Stop(); }

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

void CRelayServer::relayLoop() {
  // Grows to what the device holds, so that one write forwards all of it:
  // the client's pace, not a fixed slice, decides how fast the ring empties.
  std::vector<unsigned char> buffer(kRelayChunkMin);
  while (!m_stop.load()) {
    HANDLE ready = m_pDevice != nullptr ? m_pDevice->DataReadyEvent() : nullptr;
    if (ready == nullptr) {
      // The device is closed (a panic, say): no event to wait for, so wait
      // one slice for the device to come back rather than spin.
      if (WaitForSingleObject(m_relay.ExitEvent(), kRelaySliceMs) == WAIT_OBJECT_0) m_stop = true;
      continue;
    }
    HANDLE handles[2] = {m_relay.ExitEvent(), ready};
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, kRelaySliceMs);
    if (r == WAIT_OBJECT_0) {
      m_stop = true;
    } else if (r == WAIT_OBJECT_0 + 1) {
      CRelayChannel* channel = m_channel.load();
      unsigned long count = 0;
      if (channel != nullptr && !m_stop.load() && m_pDevice->IsDeviceOpen()) {
        const unsigned long waiting = std::min(m_pDevice->GetRxBufferCount(), kRelayChunkMax);
        try {
          if (waiting > buffer.size()) buffer.resize(waiting);
        } catch (const std::bad_alloc&) {
          // Short of memory: the buffer already there forwards it in turns.
        }
        count = m_pDevice->ReadBuffer(buffer.data(), static_cast<unsigned long>(buffer.size()));
      }
      if (count == 0) {
        // Signalled yet empty, or the device is closing: let it catch up instead of spinning.
        WaitForSingleObject(m_relay.ExitEvent(), 1);
        continue;
      }
      if (channel->write(buffer.data(), count))
        m_pDevice->LogRelay(LOG_SERVER_SENT, buffer.data(), count);
      else
        m_pDevice->LogRelay(LOG_EVENT, nullptr, IDS_PIPE_WRITE_ERROR);
    } else if (r == WAIT_FAILED) {
      // The device closed between the look and the wait.
      if (WaitForSingleObject(m_relay.ExitEvent(), kRelaySliceMs) == WAIT_OBJECT_0) m_stop = true;
    }
  }
}

}  // namespace zor
