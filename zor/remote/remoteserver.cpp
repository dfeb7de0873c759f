#include "zor/remote/remoteserver.h"

#include <zor/devtcp.h>
#include <zor/strings.h>

#include "zor/core/device_p.h"
#include "zor/support/support.h"

#include <new>

namespace zor {
namespace {

void record(CDevice* device, int kind, const void* data, unsigned long size) {
  CDevicePrivate::logOn(device, kind, data, size);
}

}  // namespace

CRemoteServer::CRemoteServer(CDevice* device, HWND notify) : m_pDevice(device), m_notify(notify) {}

CRemoteServer::~CRemoteServer() { Stop(); }

bool CRemoteServer::Start(int port) {
  if (m_pPipe.load() != nullptr) return false;
  auto* pipe = new (std::nothrow) tcpPipe(this);
  if (pipe == nullptr) {
    ZOR_MEMORY_REPORT("m_pPipe", "RunZorRemoteServer", 88);
    return false;
  }
  if (!pipe->listen(port)) {
    delete pipe;
    return false;
  }
  m_pPipe = pipe;
  m_relay.Start(&CRemoteServer::relayThreadFunc, reinterpret_cast<long>(this));
  char name[256];
  if (gethostname(name, sizeof name) == 0) m_hostName = name;
  return true;
}

void CRemoteServer::Stop() {
  m_relay.Stop(6000);
  delete m_pPipe.exchange(nullptr);
}

std::string CRemoteServer::peerAddress() const {
  tcpPipe* pipe = m_pPipe.load();
  return pipe != nullptr ? pipe->peerAddress() : std::string();
}

void CRemoteServer::tcpPipe::onRead(const void* data, unsigned long size) {
  CDevice* device = m_owner->m_pDevice;
  // A device that cannot take the bytes drops them.
  if (device != nullptr && device->WriteBuffer(static_cast<const unsigned char*>(data), size))
    record(device, LOG_SERVER_RCV, data, size);
}

std::string CRemoteServer::lastPeerAddress() const {
  std::lock_guard lock(m_peerMutex);
  return m_lastPeer;
}

void CRemoteServer::tcpPipe::onConnect(bool connected) {
  if (connected) {
    std::lock_guard lock(m_owner->m_peerMutex);
    m_owner->m_lastPeer = peerAddress();
  }
  if (m_owner->m_notify != nullptr) PostMessageA(m_owner->m_notify, WM_PIPE_STATE, connected ? 1 : 0, 0);
}

void CRemoteServer::relayThreadFunc(long param, thread_func_flag flag) {
  auto* self = reinterpret_cast<CRemoteServer*>(param);
  if (flag == CWorkerThread::TFF_INIT) self->m_stop = false;
  if (flag == CWorkerThread::TFF_RUN) self->relayLoop();
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
      tcpPipe* pipe = m_pPipe.load();
      unsigned long count =
          pipe != nullptr && m_pDevice->IsDeviceOpen() ? m_pDevice->ReadBuffer(buffer, sizeof buffer) : 0;
      if (count == 0) {
        // Signalled yet empty, or the device is closing: let it catch up instead of spinning.
        WaitForSingleObject(m_relay.ExitEvent(), 1);
        continue;
      }
      if (pipe->write(buffer, count))
        record(m_pDevice, LOG_SERVER_SENT, buffer, count);
      else
        record(m_pDevice, LOG_EVENT, nullptr, IDS_PIPE_WRITE_ERROR);
    } else if (r == WAIT_FAILED) {
      // The device closed between the look and the wait.
      if (WaitForSingleObject(m_relay.ExitEvent(), kRelaySliceMs) == WAIT_OBJECT_0) m_stop = true;
    }
  }
}

}  // namespace zor
