#include "zor/remote/socketserver.h"

#include "zor/platform/platform.h"
#include "zor/remote/rfc2217_server.h"
#include "zor/remote/socket_channel.h"

#include <memory>
#include <new>

namespace zor {

bool CSocketServer::Start(int port, std::uint32_t address) {
  auto turnedAway = [this](const std::string& peer) { clientDropped(peer); };
  std::unique_ptr<CSocketChannel> channel;
  if (m_protocol == RFC2217)
    channel.reset(new (std::nothrow) CRfc2217Channel(device(), port, address, turnedAway));
  else
    channel.reset(new (std::nothrow) CRawChannel(port, address, turnedAway));
  if (!channel) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  CSocketChannel* raw = channel.get();
  if (!CRelayServer::Start(std::move(channel))) {
    // Start deleted the channel that did not open, and with it its error: the port is the usual reason.
    SetLastError(WSAEADDRINUSE);
    return false;
  }
  m_port = raw->listeningPort();
  return true;
}

}  // namespace zor
