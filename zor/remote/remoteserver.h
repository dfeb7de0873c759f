// CRemoteServer: serves one local device to one CDevTcp client over TCP.
//
// Bytes from the client are written to the device; bytes the device receives
// are relayed to the client by a relay thread. Connection changes are posted
// as WM_PIPE_STATE (wParam 1 connected, 0 left) to a message target, so that
// a window and a program without one use the server alike.
#pragma once

#include "zor/remote/tcppipe.h"

#include <zor/device.h>
#include <zor/devtcp.h>

#include <atomic>
#include <mutex>
#include <string>

namespace zor {

class CRemoteServer {
public:
  static constexpr UINT WM_PIPE_STATE = 0x402;

  // Neither the device nor the target is owned; both must outlive the server.
  CRemoteServer(CDevice* device, HWND notify);
  ~CRemoteServer();
  CRemoteServer(const CRemoteServer&) = delete;
  CRemoteServer& operator=(const CRemoteServer&) = delete;

  // Listens on CDevTcp::TCP_PORT of the address (network order; INADDR_ANY:
  // all) and starts the relay; false when the port cannot be had (the server
  // then serves nothing).
  bool Start(int port = CDevTcp::TCP_PORT, std::uint32_t address = INADDR_ANY);
  // Ends the relay within one wait slice and closes both connections.
  void Stop();
  bool IsRunning() const { return m_pPipe.load() != nullptr; }
  // The client's dotted address; empty while none is connected.
  std::string peerAddress() const;
  // The address of the client that connected last, kept after it left.
  std::string lastPeerAddress() const;
  // This computer's name, known once Start succeeded.
  const std::string& hostName() const { return m_hostName; }
  CDevice* device() const { return m_pDevice; }

  // How long the relay waits for the device's data in one slice.
  static constexpr DWORD kRelaySliceMs = 500;

private:
  void clientSent(const void* data, unsigned long size);
  void linkChanged(bool connected, const std::string& peer);
  void relayLoop();

  CDevice* m_pDevice;
  HWND m_notify;
  CWorkerThread m_relay;
  std::atomic<bool> m_stop{false};
  std::atomic<CTcpPipe*> m_pPipe{nullptr};
  std::string m_hostName;
  mutable std::mutex m_peerMutex;
  std::string m_lastPeer;
};

}  // namespace zor
