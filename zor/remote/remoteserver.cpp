#include "zor/remote/remoteserver.h"

#include "zor/remote/tcppipe.h"
#include "zor/support/support.h"

#include <memory>
#include <new>

namespace zor {
namespace {

// The TCP link: listens for one client and calls it back (tcppipe.h).
class TcpChannel final : public CRelayChannel {
public:
  TcpChannel(int port, std::uint32_t address) : m_port(port), m_address(address) {}

  bool open(ReadHandler onRead, ConnectHandler onConnect) override {
    m_pipe.setHandlers(std::move(onRead), std::move(onConnect));
    return m_pipe.listen(m_port, m_address);
  }
  void close() override { m_pipe.close(); }
  bool write(const void* data, unsigned long size) override { return m_pipe.write(data, size); }
  long writeNow(const void* data, unsigned long size) override { return m_pipe.writeNow(data, size); }
  std::string peerName() const override { return m_pipe.peerAddress(); }
  bool peerLeft() const override { return m_pipe.peerLeft(); }

private:
  CTcpPipe m_pipe{1024};
  int m_port;
  std::uint32_t m_address;
};

}  // namespace

bool CRemoteServer::Start(int port, std::uint32_t address) {
  std::unique_ptr<CRelayChannel> channel(new (std::nothrow) TcpChannel(port, address));
  if (!channel) {
    ZOR_MEMORY_REPORT("m_pPipe", "RunZorRemoteServer", 88);
    return false;
  }
  return CRelayServer::Start(std::move(channel));
}

}  // namespace zor
