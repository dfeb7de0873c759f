#include "zor/remote/intranetserver.h"

#include <zor/devnet.h>

#include "zor/remote/namedpipe.h"
#include "zor/support/support.h"

#include <functional>
#include <memory>
#include <new>
#include <string>

namespace zor {
namespace {

using DropHandler = std::function<void(const std::string& peer)>;

std::string processName(DWORD pid) { return pid != 0 ? "process " + std::to_string(pid) : std::string(); }

// The server's end of the local pipes, passing what it hears to the relay.
class ServerPipe final : public CNamedPipe {
public:
  ServerPipe(CRelayChannel::ReadHandler onRead, CRelayChannel::ConnectHandler onConnect,
             DropHandler onDropped)
      : CNamedPipe(64),
        m_onRead(std::move(onRead)),
        m_onConnect(std::move(onConnect)),
        m_onDropped(std::move(onDropped)) {}
  ~ServerPipe() override { stop(); }

  void onRead(const void* data, unsigned long size) override { m_onRead(data, size); }
  void onConnect(bool connected) override { m_onConnect(connected); }
  void onHalfOpenDropped(DWORD processId) override { m_onDropped(processName(processId)); }

private:
  CRelayChannel::ReadHandler m_onRead;
  CRelayChannel::ConnectHandler m_onConnect;
  DropHandler m_onDropped;
};

class PipeChannel final : public CRelayChannel {
public:
  PipeChannel(DropHandler onDropped, DWORD& openError)
      : m_onDropped(std::move(onDropped)), m_openError(openError) {}

  bool open(ReadHandler onRead, ConnectHandler onConnect) override {
    m_pipe.reset(new (std::nothrow) ServerPipe(std::move(onRead), std::move(onConnect), m_onDropped));
    if (!m_pipe) {
      ZOR_MEMORY_REPORT("m_pPipe", "RunZorServer", 78);
      m_openError = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    if (m_pipe->create(CDevNet::ZOR_NETPIPE)) return true;
    m_openError = GetLastError();
    return false;
  }
  void close() override {
    if (m_pipe) m_pipe->close();
  }
  bool write(const void* data, unsigned long size) override { return m_pipe && m_pipe->write(data, size); }
  long writeNow(const void* data, unsigned long size) override {
    return m_pipe ? m_pipe->writeNow(data, size) : -1;
  }
  std::string peerName() const override { return processName(m_pipe ? m_pipe->clientProcessId() : 0); }

private:
  DropHandler m_onDropped;
  DWORD& m_openError;
  std::unique_ptr<ServerPipe> m_pipe;
};

}  // namespace

bool CIntranetServer::Start() {
  m_startError = ERROR_BUSY;  // a relay runs already
  std::unique_ptr<CRelayChannel> channel(
      new (std::nothrow) PipeChannel([this](const std::string& peer) { clientDropped(peer); }, m_startError));
  if (!channel) {
    ZOR_MEMORY_REPORT("m_pPipe", "RunZorServer", 78);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (CRelayServer::Start(std::move(channel))) return true;
  // Taken before the channel's teardown could change it.
  SetLastError(m_startError);
  return false;
}

}  // namespace zor
