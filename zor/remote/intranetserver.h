// CIntranetServer: the relay served to one CDevNet client over the local
// pipes CDevNet::ZOR_NETPIPE (zor server).
#pragma once

#include "zor/remote/relay.h"

namespace zor {

class CIntranetServer : public CRelayServer {
public:
  using CRelayServer::CRelayServer;
  ~CIntranetServer() override { Stop(); }

  // Creates the two pipes and starts the relay; false when they cannot be
  // made (another server has them, or the pipe folder is unusable).
  bool Start();
};

}  // namespace zor
