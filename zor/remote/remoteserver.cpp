#include "zor/remote/remoteserver.h"

#include <zor/devtcp.h>
#include <zor/strings.h>

#include "zor/support/support.h"

#include <new>

namespace zor {

CRemoteServer::CRemoteServer(CDevice* device, HWND notify) : m_pDevice(device), m_notify(notify) {}

CRemoteServer::~CRemoteServer() { Stop(); }

bool CRemoteServer::Start(int port, std::uint32_t address) {
  if (m_pPipe.load() != nullptr) return false;
  auto* pipe = new (std::nothrow) CTcpPipe(1024);
  if (pipe == nullptr) {
    ZOR_MEMORY_REPORT("m_pPipe", "RunZorRemoteServer", 88);
    return false;
  }
  pipe->setHandlers([this](const void* data, unsigned long size) { clientSent(data, size); },
                    [this, pipe](bool connected) { linkChanged(connected, pipe->peerAddress()); });
  if (!pipe->listen(port, address)) {
    delete pipe;
    return false;
  }
  m_pPipe = pipe;
  m_relay.Start([this](thread_func_flag flag) {
    if (flag == CWorkerThread::TFF_INIT) m_stop = false;
    if (flag == CWorkerThread::TFF_RUN) relayLoop();
  });
  char name[256];
  if (gethostname(name, sizeof name) == 0) m_hostName = name;
  return true;
}

void CRemoteServer::Stop() {
  m_relay.Stop(6000);
  delete m_pPipe.exchange(nullptr);
}

std::string CRemoteServer::peerAddress() const {
  CTcpPipe* pipe = m_pPipe.load();
  return pipe != nullptr ? pipe->peerAddress() : std::string();
}

void CRemoteServer::clientSent(const void* data, unsigned long size) {
  CDevice* device = m_pDevice;
  // A device that cannot take the bytes drops them.
  if (device != nullptr && device->WriteBuffer(static_cast<const unsigned char*>(data), size))
    device->LogRelay(LOG_SERVER_RCV, data, size);
}

std::string CRemoteServer::lastPeerAddress() const {
  std::lock_guard lock(m_peerMutex);
  return m_lastPeer;
}

void CRemoteServer::linkChanged(bool connected, const std::string& peer) {
  if (connected) {
    std::lock_guard lock(m_peerMutex);
    m_lastPeer = peer;
  }
  if (m_notify != nullptr) PostMessageA(m_notify, WM_PIPE_STATE, connected ? 1 : 0, 0);
}

void CRemoteServer::relayLoop() {
  unsigned char buffer[256];
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
      CTcpPipe* pipe = m_pPipe.load();
      unsigned long count =
          pipe != nullptr && m_pDevice->IsDeviceOpen() ? m_pDevice->ReadBuffer(buffer, sizeof buffer) : 0;
      if (count == 0) {
        // Signalled yet empty, or the device is closing: let it catch up instead of spinning.
        WaitForSingleObject(m_relay.ExitEvent(), 1);
        continue;
      }
      if (pipe->write(buffer, count))
        m_pDevice->LogRelay(LOG_SERVER_SENT, buffer, count);
      else
        m_pDevice->LogRelay(LOG_EVENT, nullptr, IDS_PIPE_WRITE_ERROR);
    } else if (r == WAIT_FAILED) {
      // The device closed between the look and the wait.
      if (WaitForSingleObject(m_relay.ExitEvent(), kRelaySliceMs) == WAIT_OBJECT_0) m_stop = true;
    }
  }
}

}  // namespace zor
