// CSocketChannel: a relay channel on one TCP connection per client, for the
// protocols that other programs speak (raw bytes, Telnet with the serial-line
// option). One thread listens, serves one client at a time and turns a second
// caller away at once with one line; any thread writes.
#pragma once

#include "zor/core/workerthread.h"
#include "zor/platform/tcp.h"
#include "zor/remote/relay.h"
#include "zor/remote/telnet_codec.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

class CSocketChannel : public CRelayChannel {
public:
  // Called on the channel's thread with the address of a caller turned away.
  using TurnedAwayHandler = std::function<void(const std::string& peer)>;
  // How long the thread waits for a client's bytes in one slice while nothing else is due.
  static constexpr int kIdleSliceMs = 1000;
  static constexpr unsigned long kReceiveSize = 16384;
  // What the client sent goes to the device in pieces of at most this size.
  static constexpr std::size_t kDeliverSize = 1024;

  CSocketChannel(int port, std::uint32_t address, TurnedAwayHandler onTurnedAway);
  ~CSocketChannel() override;

  bool open(ReadHandler onRead, ConnectHandler onConnect) override;
  void close() override;
  // The device's bytes, framed for the protocol, in one piece.
  bool write(const void* data, unsigned long size) override;
  std::string peerName() const override;
  bool peerLeft() const override;
  // Where it listens (the port the system chose for port 0); 0 before open.
  int listeningPort() const { return m_boundPort.load(); }
  // Why open failed.
  DWORD openError() const { return m_openError; }

protected:
  // The hooks of a protocol, on the channel's thread but for frame().
  // A client connected; whatever it is to be told first is sent with send.
  virtual void sessionStarted() {}
  // Bytes the client sent: its payload goes to payload; false ends the connection.
  virtual bool received(const std::uint8_t* data, std::size_t size, telnet::Bytes& payload) = 0;
  // Called at least every sliceMs() while a client is connected.
  virtual void tick() {}
  virtual int sliceMs() const { return kIdleSliceMs; }
  // The device's bytes as they go on the wire (any thread).
  virtual void frame(const std::uint8_t* data, std::size_t size, telnet::Bytes& out) {
    out.assign(data, data + size);
  }
  // Waits, before the device's bytes go, while the protocol holds them back; false to drop them.
  virtual bool mayWrite() { return true; }
  // Sends a block whole, on any thread; false when no client takes it.
  bool send(const std::uint8_t* data, std::size_t size);
  bool closing() const { return m_stop.load(); }

private:
  void run();
  void serve(std::shared_ptr<TcpTransport> client);
  // Hands what the client sent to the protocol and its payload to the relay; false ends the connection.
  bool take(const std::uint8_t* data, std::size_t size);
  // Takes what a client that has gone still left in its connection.
  void deliverRest(TcpTransport& c, std::vector<std::uint8_t>& buffer);
  void turnAway();
  std::shared_ptr<TcpTransport> client() const;

  const int m_port;
  const std::uint32_t m_address;
  TurnedAwayHandler m_onTurnedAway;
  ReadHandler m_onRead;
  ConnectHandler m_onConnect;
  TcpListener m_listener;
  std::atomic<int> m_boundPort{0};
  DWORD m_openError = ERROR_SUCCESS;
  CWorkerThread m_thread;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_clientMutex;
  std::shared_ptr<TcpTransport> m_client;
  std::string m_peer;
  std::mutex m_sendMutex;   // one block leaves whole before the next
  telnet::Bytes m_payload;  // the channel thread's
};

// Raw bytes both ways: a terminal, a socket library, nc.
class CRawChannel final : public CSocketChannel {
public:
  using CSocketChannel::CSocketChannel;
  ~CRawChannel() override { close(); }

protected:
  bool received(const std::uint8_t* data, std::size_t size, telnet::Bytes& payload) override {
    payload.assign(data, data + size);
    return true;
  }
};

}  // namespace zor
