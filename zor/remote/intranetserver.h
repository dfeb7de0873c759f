// CIntranetServer: the relay served to one CDevNet client over the local
// pipes CDevNet::ZOR_NETPIPE (zor server).
#pragma once

#include "zor/remote/relay.h"

namespace zor {

class CIntranetServer : public CRelayServer {
public:
  using CRelayServer::CRelayServer;
  ~CIntranetServer() override { Stop(); }

  // Creates the two pipes and starts the relay. False when they cannot be
  // made, with the last error saying why: ERROR_PIPE_BUSY another server has
  // them, ERROR_FILENAME_EXCED_RANGE their path is too long for a socket,
  // ERROR_FILE_EXISTS something that is no pipe is in the way, ERROR_ACCESS_DENIED
  // or another code of the folder's the pipe folder is refused.
  bool Start();

private:
  DWORD m_startError = ERROR_SUCCESS;  // the last Start's, set by the channel's open
};

}  // namespace zor
