// CRemoteServer: the relay served to one CDevTcp client over TCP (zor remote).
#pragma once

#include "zor/platform/tcp.h"
#include "zor/remote/relay.h"

#include <zor/devtcp.h>

namespace zor {

class CRemoteServer : public CRelayServer {
public:
  using CRelayServer::CRelayServer;
  ~CRemoteServer() override { Stop(); }

  // Listens on the port of the address (network order; kAnyAddress: all) and
  // starts the relay; false when the port cannot be had (the server then
  // serves nothing).
  bool Start(int port = CDevTcp::TCP_PORT, std::uint32_t address = kAnyAddress);
};

}  // namespace zor
