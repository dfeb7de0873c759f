// The remote server's relay against socat playing the client.
#include <gtest/gtest.h>

#include <zor/zor.h>

#include "support/recorder.h"
#include "support/tcppeer.h"

#include "zor/remote/remoteserver.h"

#include <thread>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;

namespace {

class TcpServer : public SocatTest {
protected:
  void SetUp() override {
    SocatTest::SetUp();
    if (IsSkipped()) return;
    rec.attach(dev);
    ASSERT_TRUE(dev.OpenDevice(0, 8192, 8192));
  }

  // Next connection change posted by the server: 1 connected, 0 left, -1 none in time.
  int nextState(DWORD ms = 5000) {
    MSG m;
    while (queue.get(m, ms))
      if (m.message == CRemoteServer::WM_PIPE_STATE) return static_cast<int>(m.wParam);
    return -1;
  }
  bool stuff(const std::vector<unsigned char>& b) { return dev.Stuff(b.data(), static_cast<int>(b.size())); }

  CDevNull dev;
  LogRecorder rec;
  MessageQueue queue;
};

}  // namespace

TEST_F(TcpServer, RelaysClientToDeviceAndDeviceToClientAlsoAfterTheDeviceWasReopened) {
  CRemoteServer server(&dev, &queue);
  ASSERT_TRUE(server.Start());
  EXPECT_FALSE(server.hostName().empty());
  EXPECT_EQ(server.peerAddress(), "");

  auto up = pattern(1500, 5);
  writeFileBytes(file("up"), up);
  SocatClient client(file("up"), file("down"));
  ASSERT_EQ(nextState(), 1);
  EXPECT_EQ(server.peerAddress(), "127.0.0.1");

  ASSERT_TRUE(waitUntil([&] { return rec.bytes(LOG_SERVER_RCV).size() >= up.size(); }, 5000));
  EXPECT_EQ(rec.bytes(LOG_SERVER_RCV), up);
  ASSERT_TRUE(waitUntil([&] { return rec.bytes(LOG_TX).size() >= up.size(); }, 5000));
  EXPECT_EQ(rec.bytes(LOG_TX), up);

  auto down = pattern(1500, 6);
  ASSERT_TRUE(stuff(down));
  EXPECT_EQ(waitFileBytes(file("down"), down.size(), 5000), down);
  EXPECT_EQ(rec.bytes(LOG_SERVER_SENT), down);
  // The channel delivers at most its I/O size at a time; the relay sends what
  // the device holds, at most its ring's 8191 bytes.
  int received = 0;
  for (auto& r : rec.records()) {
    if (r.kind == LOG_SERVER_RCV) ++received;
    if (r.kind == LOG_SERVER_RCV || r.kind == LOG_SERVER_SENT) {
      EXPECT_LE(r.size, r.kind == LOG_SERVER_RCV ? 1024u : 8191u);
    }
  }
  EXPECT_GE(received, 2);
  EXPECT_EQ(rec.countEvent(IDS_PIPE_WRITE_ERROR), 0u);

  // The relay picks up again after the device was closed and reopened.
  ASSERT_TRUE(dev.CloseDevice());
  // The stimulus: the device stays closed while the relay waits on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(dev.OpenDevice(0, 8192, 8192));
  ASSERT_TRUE(stuff({6, 7}));
  down.insert(down.end(), {6, 7});
  EXPECT_EQ(waitFileBytes(file("down"), down.size(), 5000), down);
}

TEST_F(TcpServer, DataWithoutAClientIsAPipeWriteErrorAndStoppingEndsBothConnections) {
  auto server = std::make_unique<CRemoteServer>(&dev, &queue);
  ASSERT_TRUE(server->Start());
  EXPECT_FALSE(CRemoteServer(&dev, nullptr).Start()) << "one server per port";
  ASSERT_TRUE(stuff({1, 2, 3}));
  ASSERT_TRUE(rec.waitForEvent(IDS_PIPE_WRITE_ERROR, 5000));
  EXPECT_TRUE(rec.bytes(LOG_SERVER_SENT).empty()) << "not delivered";

  writeFileBytes(file("up"), {});
  BackgroundProcess receiver(
      {"socat", "-u", "TCP-LISTEN:40766,reuseaddr,bind=127.0.0.1", "CREATE:" + file("down")});
  ASSERT_TRUE(waitUntil([] { return isListening(kClientPort); }, 5000));
  SocatClient client(file("up"), file("unused"), false);
  ASSERT_EQ(nextState(), 1);
  ASSERT_TRUE(stuff({4, 5}));
  EXPECT_EQ(waitFileBytes(file("down"), 2, 5000), (std::vector<unsigned char>{4, 5}));
  EXPECT_EQ(rec.bytes(LOG_SERVER_SENT), (std::vector<unsigned char>{4, 5}));

  server.reset();
  // The call-back connection ended: the receiving socat sees the end and quits.
  EXPECT_TRUE(waitUntil([&] { return receiver.exited(); }, 5000));
  // The gone server no longer takes what the device receives: its reader does.
  ASSERT_TRUE(stuff({8, 9}));
  EXPECT_EQ(zor_test::readBytes(dev, 2, 5000), (std::vector<unsigned char>{8, 9}));
  CRemoteServer again(&dev, &queue);
  EXPECT_TRUE(again.Start()) << "the port is free again";
}

// The relay's public face refuses an address it cannot listen on before it
// touches the network, and the intranet server takes no address at all.
TEST(HostServer, ABindAddressThatIsNoIPv4AddressIsRefusedAndTheIntranetServerTakesNone) {
  EXPECT_TRUE(zor::CHostServer::IsIPv4Address("127.0.0.1"));
  for (const char* bad : {"", "localhost", "1.2.3.4.5", "300.1.1.1"})
    EXPECT_FALSE(zor::CHostServer::IsIPv4Address(bad)) << bad;
  EXPECT_FALSE(zor::CHostServer::IsIPv4Address(nullptr));
  zor::CDevNull device;
  zor::CHostServer remote(zor::CHostServer::REMOTE, &device, nullptr);
  zor::SetLastError(0);
  EXPECT_FALSE(remote.Start("localhost"));
  EXPECT_EQ(zor::GetLastError(), zor::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(remote.IsRunning());
  zor::CHostServer intranet(zor::CHostServer::INTRANET, &device, nullptr);
  zor::SetLastError(0);
  EXPECT_FALSE(intranet.Start("127.0.0.1"));
  EXPECT_EQ(zor::GetLastError(), zor::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(intranet.IsRunning());
}
