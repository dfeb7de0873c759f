#include "zor/remote/intranetserver.h"

#include <zor/devnet.h>

#include "zor/remote/namedpipe.h"
#include "zor/support/support.h"

#include <memory>
#include <new>
#include <string>

namespace zor {
namespace {

// The server's end of the local pipes, passing what it hears to the relay.
class ServerPipe final : public CNamedPipe {
public:
  ServerPipe(CRelayChannel::ReadHandler onRead, CRelayChannel::ConnectHandler onConnect)
      : CNamedPipe(64), m_onRead(std::move(onRead)), m_onConnect(std::move(onConnect)) {}
  ~ServerPipe() override { stop(); }

  void onRead(const void* data, unsigned long size) override { m_onRead(data, size); }
  void onConnect(bool connected) override { m_onConnect(connected); }

private:
  CRelayChannel::ReadHandler m_onRead;
  CRelayChannel::ConnectHandler m_onConnect;
};

class PipeChannel final : public CRelayChannel {
public:
  bool open(ReadHandler onRead, ConnectHandler onConnect) override {
    m_pipe.reset(new (std::nothrow) ServerPipe(std::move(onRead), std::move(onConnect)));
    if (!m_pipe) {
      ZOR_MEMORY_REPORT("m_pPipe", "RunZorServer", 78);
      return false;
    }
    return m_pipe->create(CDevNet::ZOR_NETPIPE);
  }
  void close() override {
    if (m_pipe) m_pipe->close();
  }
  bool write(const void* data, unsigned long size) override { return m_pipe && m_pipe->write(data, size); }
  std::string peerName() const override {
    DWORD pid = m_pipe ? m_pipe->clientProcessId() : 0;
    return pid != 0 ? "process " + std::to_string(pid) : std::string();
  }

private:
  std::unique_ptr<ServerPipe> m_pipe;
};

}  // namespace

bool CIntranetServer::Start() {
  std::unique_ptr<CRelayChannel> channel(new (std::nothrow) PipeChannel());
  if (!channel) {
    ZOR_MEMORY_REPORT("m_pPipe", "RunZorServer", 78);
    return false;
  }
  return CRelayServer::Start(std::move(channel));
}

}  // namespace zor
