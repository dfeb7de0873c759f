// The server windows' relays behind the public interface.
#include <zor/host.h>

#include "zor/remote/intranetserver.h"
#include "zor/remote/remoteserver.h"

namespace zor {

struct CHostServer::Private {
  Kind kind;
  std::unique_ptr<CRelayServer> relay;
};

CHostServer::CHostServer(Kind kind, CDevice* device, HWND notify) : p(std::make_unique<Private>()) {
  p->kind = kind;
  if (kind == REMOTE)
    p->relay = std::make_unique<CRemoteServer>(device, notify);
  else
    p->relay = std::make_unique<CIntranetServer>(device, notify);
}

CHostServer::~CHostServer() { Stop(); }

bool CHostServer::Start() {
  if (p->kind == REMOTE) return static_cast<CRemoteServer&>(*p->relay).Start();
  return static_cast<CIntranetServer&>(*p->relay).Start();
}

void CHostServer::Stop() { p->relay->Stop(); }
bool CHostServer::IsRunning() const { return p->relay->IsRunning(); }
std::string CHostServer::peerAddress() const { return p->relay->peerAddress(); }
std::string CHostServer::lastPeerAddress() const { return p->relay->lastPeerAddress(); }
std::string CHostServer::hostName() const { return p->relay->hostName(); }

}  // namespace zor
