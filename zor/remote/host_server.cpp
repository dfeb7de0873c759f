// The relays behind the public interface.
#include <zor/hostserver.h>

#include "zor/platform/local_pipe.h"
#include "zor/platform/platform.h"
#include "zor/platform/tcp.h"
#include "zor/remote/intranetserver.h"
#include "zor/remote/remoteserver.h"
#include "zor/remote/socketserver.h"

namespace zor {

static_assert(CHostServer::WM_PIPE_STATE == CRelayServer::WM_PIPE_STATE);
static_assert(WPARAM{CHostServer::LINK_LEFT} == WPARAM{CRelayServer::LINK_LEFT} &&
              WPARAM{CHostServer::LINK_CONNECTED} == WPARAM{CRelayServer::LINK_CONNECTED} &&
              WPARAM{CHostServer::LINK_DROPPED} == WPARAM{CRelayServer::LINK_DROPPED});

struct CHostServer::Private {
  Kind kind;
  std::unique_ptr<CRelayServer> relay;
  int port = 0;
};

CHostServer::CHostServer(Kind kind, CDevice* device, HWND notify) : p(std::make_unique<Private>()) {
  p->kind = kind;
  if (kind == REMOTE)
    p->relay = std::make_unique<CRemoteServer>(device, notify);
  else if (kind == RFC2217 || kind == RAW)
    p->relay = std::make_unique<CSocketServer>(kind == RAW ? CSocketServer::RAW : CSocketServer::RFC2217,
                                               device, notify);
  else
    p->relay = std::make_unique<CIntranetServer>(device, notify);
}

CHostServer::~CHostServer() { Stop(); }

bool CHostServer::Start() {
  if (p->kind == INTRANET) return static_cast<CIntranetServer&>(*p->relay).Start();
  return Start(nullptr, CDevTcp::TCP_PORT);
}

bool CHostServer::Start(const char* bindAddress) {
  if (bindAddress == nullptr) return Start();
  return Start(bindAddress, CDevTcp::TCP_PORT);
}

bool CHostServer::Start(const char* bindAddress, int port) {
  if (p->kind == INTRANET || port < 0 || port > 65535 ||
      (bindAddress != nullptr && !IsIPv4Address(bindAddress))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::uint32_t address = bindAddress != nullptr ? parseIpv4(bindAddress) : kAnyAddress;
  if (p->kind == REMOTE) {
    if (!static_cast<CRemoteServer&>(*p->relay).Start(port, address)) return false;
    p->port = port;
    return true;
  }
  auto& server = static_cast<CSocketServer&>(*p->relay);
  if (!server.Start(port, address)) return false;
  p->port = server.listeningPort();
  return true;
}

int CHostServer::ListeningPort() const { return p->relay->IsRunning() ? p->port : 0; }

void CHostServer::Stop() { p->relay->Stop(); }
bool CHostServer::IsRunning() const { return p->relay->IsRunning(); }
std::string CHostServer::peerAddress() const { return p->relay->peerAddress(); }
std::string CHostServer::lastPeerAddress() const { return p->relay->lastPeerAddress(); }
std::string CHostServer::hostName() const { return p->relay->hostName(); }

bool CHostServer::IsIPv4Address(const char* text) { return text != nullptr && parseIpv4(text) != kNoAddress; }

std::string CHostServer::PipeFolder(std::string& problem) { return pipeFolder(&problem); }

std::size_t CHostServer::LongestPipePath() { return kLongestPipePath; }

}  // namespace zor
