// CSocketServer: the relay served over one TCP connection per client in a
// protocol that other programs speak: raw bytes, or a network serial port.
#pragma once

#include "zor/platform/tcp.h"
#include "zor/remote/relay.h"

#include <atomic>

namespace zor {

class CSocketServer : public CRelayServer {
public:
  enum Protocol { RAW, RFC2217 };
  CSocketServer(Protocol protocol, CDevice* device, HWND notify)
      : CRelayServer(device, notify), m_protocol(protocol) {}
  ~CSocketServer() override { Stop(); }

  // Listens on the port of the address (network order; kAnyAddress: all; port
  // 0: one the system picks) and starts the relay. False, with the last error
  // set, when the port cannot be had.
  bool Start(int port, std::uint32_t address = kAnyAddress);
  // Where it listens once started.
  int listeningPort() const { return m_port.load(); }

private:
  const Protocol m_protocol;
  std::atomic<int> m_port{0};
};

}  // namespace zor
