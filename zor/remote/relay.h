// CRelayServer: serves one local device to one client through a channel.
//
// Bytes from the client are written to the device. Bytes the device receives
// go to the client from the device's receiving thread as far as the client
// takes them at once; the relay thread writes the rest, waiting for the
// client, so a slow client never holds the device's reception. Connection changes are posted
// as WM_PIPE_STATE (wParam 1 connected, 0 left, 2 a client that opened one of
// the two local pipes only was dropped) to a message target, so that
// a window and a program without one use the server alike. The channel (TCP
// in remoteserver.h, local pipes in intranetserver.h) only carries the bytes
// and tells when its client comes and goes.
#pragma once

#include "zor/core/workerthread.h"

#include <zor/device.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

class CRelayChannel {
public:
  using ReadHandler = std::function<void(const void* data, unsigned long size)>;
  using ConnectHandler = std::function<void(bool connected)>;

  virtual ~CRelayChannel() = default;
  // Starts serving; the handlers are called on the channel's own thread.
  virtual bool open(ReadHandler onRead, ConnectHandler onConnect) = 0;
  // Stops calling the handlers and ends a write in progress.
  virtual void close() = 0;
  virtual bool write(const void* data, unsigned long size) = 0;
  // What the client takes at once, never waiting, on the device's receiving
  // thread: the count, or -1 when write would fail. What it does not take, the
  // relay thread writes (a channel that frames its bytes leaves it all there).
  virtual long writeNow(const void*, unsigned long) { return 0; }
  // Who the client is; empty while none is connected.
  virtual std::string peerName() const = 0;
  // True once the client is known to have left, though its last bytes may still be on their way.
  virtual bool peerLeft() const { return false; }
};

class CRelayServer {
public:
  static constexpr UINT WM_PIPE_STATE = 0x402;
  // WM_PIPE_STATE's wParam.
  enum LinkState : WPARAM { LINK_LEFT = 0, LINK_CONNECTED = 1, LINK_DROPPED = 2 };
  // The longest the relay thread sleeps between two looks of its own at the device.
  static constexpr DWORD kRelaySliceMs = 500;
  // How often a write to a full device looks whether its client is still there.
  static constexpr DWORD kRoomSliceMs = 50;
  // The relay forwards what the device holds in one write: at least this
  // buffer, at most that much at a time (a ring may be far larger).
  static constexpr unsigned long kRelayChunkMin = 4096;
  static constexpr unsigned long kRelayChunkMax = 1ul << 20;

  // Neither the device nor the target is owned; both must outlive the server.
  CRelayServer(CDevice* device, HWND notify);
  virtual ~CRelayServer();
  CRelayServer(const CRelayServer&) = delete;
  CRelayServer& operator=(const CRelayServer&) = delete;

  // Ends the relay within one wait slice and closes the channel.
  void Stop();
  bool IsRunning() const { return m_channel.load() != nullptr; }
  // The client now; empty while none is connected.
  std::string peerAddress() const;
  // The client that connected last, kept after it left.
  std::string lastPeerAddress() const;
  // This computer's name, known once Start succeeded.
  const std::string& hostName() const { return m_hostName; }
  CDevice* device() const { return m_pDevice; }

protected:
  // Opens the channel and starts the relay; false, with nothing running, when
  // the channel cannot open or a relay runs already.
  bool Start(std::unique_ptr<CRelayChannel> channel);
  // A client that never became one (peer, as peerName names it) was turned away.
  void clientDropped(const std::string& peer);

private:
  void clientSent(const void* data, unsigned long size);
  void linkChanged(bool connected);
  void relayLoop();
  static void received(void* self);
  void sendAtOnce();
  void forward(std::vector<unsigned char>& buffer);

  CDevice* m_pDevice;
  HWND m_notify;
  CWorkerThread m_relay;
  std::atomic<bool> m_stop{false};
  std::atomic<CRelayChannel*> m_channel{nullptr};  // owned
  // One sender at a time, so that bytes leave in the order received. Under it:
  // the receiving thread's buffer, and what it left for the relay thread.
  std::mutex m_sendTurn;
  std::vector<unsigned char> m_atOnce;
  std::vector<unsigned char> m_pending;
  unsigned long m_pendingSent = 0;
  HANDLE m_wake = nullptr;  // automatic reset: the relay thread has work
  std::string m_hostName;
  mutable std::mutex m_peerMutex;
  std::string m_lastPeer;
};

}  // namespace zor
