// The relays behind the public interface.
#include <zor/hostserver.h>

#include "zor/platform/local_pipe.h"
#include "zor/platform/platform.h"
#include "zor/platform/tcp.h"
#include "zor/remote/intranetserver.h"
#include "zor/remote/remoteserver.h"

namespace zor {

static_assert(CHostServer::WM_PIPE_STATE == CRelayServer::WM_PIPE_STATE);
static_assert(WPARAM{CHostServer::LINK_LEFT} == WPARAM{CRelayServer::LINK_LEFT} &&
              WPARAM{CHostServer::LINK_CONNECTED} == WPARAM{CRelayServer::LINK_CONNECTED} &&
              WPARAM{CHostServer::LINK_DROPPED} == WPARAM{CRelayServer::LINK_DROPPED});

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

bool CHostServer::Start(const char* bindAddress) {
  if (bindAddress == nullptr) return Start();
  if (p->kind != REMOTE || !IsIPv4Address(bindAddress)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return static_cast<CRemoteServer&>(*p->relay).Start(CDevTcp::TCP_PORT, parseIpv4(bindAddress));
}

void CHostServer::Stop() { p->relay->Stop(); }
bool CHostServer::IsRunning() const { return p->relay->IsRunning(); }
std::string CHostServer::peerAddress() const { return p->relay->peerAddress(); }
std::string CHostServer::lastPeerAddress() const { return p->relay->lastPeerAddress(); }
std::string CHostServer::hostName() const { return p->relay->hostName(); }

bool CHostServer::IsIPv4Address(const char* text) {
  return text != nullptr && parseIpv4(text) != kNoAddress;
}

std::string CHostServer::PipeFolder(std::string& problem) { return pipeFolder(&problem); }

std::size_t CHostServer::LongestPipePath() { return kLongestPipePath; }

}  // namespace zor
