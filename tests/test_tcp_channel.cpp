// The TCP channel against socat as the far end: the server role (accept, call
// back, relay both ways, next client) and the client role's failures.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/tcppeer.h"

using namespace zor;
using namespace zortest;

namespace {

class TcpChannel : public SocatTest {
protected:
  void TearDown() override { CTcpPipe::s_peerWaitMs = 10000; }
};

}  // namespace

TEST_F(TcpChannel, ServerRelaysWholeBlocksBothWaysInBoundedChunks) {
  RecordingPipe server;
  ASSERT_TRUE(server.listen(kServerPort));
  EXPECT_EQ(server.state(), CTcpPipe::Listening);
  // Nothing to send to before a client has been called back.
  EXPECT_FALSE(server.write("x", 1));

  auto up = pattern(1500, 1);
  writeFileBytes(file("up"), up);
  SocatClient client(file("up"), file("down"));
  ASSERT_TRUE(server.waitConnects(1, 5000));
  EXPECT_TRUE(server.connects()[0]);
  EXPECT_EQ(server.peerAddress(), "127.0.0.1");

  ASSERT_TRUE(server.waitBytes(up.size(), 5000));
  EXPECT_EQ(server.bytes(), up);
  auto chunks = server.chunks();
  EXPECT_GE(chunks.size(), 2u);
  for (auto& c : chunks) EXPECT_LE(c.size(), 1024u);

  auto down = pattern(1500, 2);
  ASSERT_TRUE(server.write(down.data(), static_cast<unsigned long>(down.size())));
  EXPECT_EQ(waitFileBytes(file("down"), down.size(), 5000), down);
}

TEST_F(TcpChannel, ClientLeavingEndsTheLinkAndTheNextClientIsServed) {
  RecordingPipe server;
  ASSERT_TRUE(server.listen(kServerPort));
  writeFileBytes(file("up1"), {1, 2, 3});
  {
    SocatClient first(file("up1"), file("down1"));
    ASSERT_TRUE(server.waitConnects(1, 5000));
    ASSERT_TRUE(server.waitBytes(3, 5000));
    first.leave();
    ASSERT_TRUE(server.waitConnects(2, 5000));
    EXPECT_FALSE(server.connects()[1]);
  }
  // Data written while no client is linked goes nowhere and says so.
  EXPECT_FALSE(server.write("x", 1));

  writeFileBytes(file("up2"), {4, 5});
  SocatClient second(file("up2"), file("down2"), true, true);
  ASSERT_TRUE(server.waitConnects(3, 5000));
  EXPECT_TRUE(server.connects()[2]);
  ASSERT_TRUE(server.waitBytes(5, 5000));
  EXPECT_EQ(server.bytes(), (std::vector<unsigned char>{1, 2, 3, 4, 5}));
  ASSERT_TRUE(server.write("\x09", 1));
  EXPECT_EQ(waitFileBytes(file("down2"), 1, 5000), std::vector<unsigned char>{9});
}

TEST_F(TcpChannel, ClientThatNeverTakesTheCallBackIsDroppedAndTheServerListensAgain) {
  CTcpPipe::s_peerWaitMs = 300;  // the server gives such a client 2.3 s
  RecordingPipe server;
  ASSERT_TRUE(server.listen(kServerPort));
  writeFileBytes(file("up1"), {1});
  {
    SocatClient silent(file("up1"), file("unused"), false);
    ASSERT_TRUE(waitUntil([&] { return server.state() == CTcpPipe::Linking; }, 5000));
    // Dropped, not served: it never counted as connected.
    ASSERT_TRUE(waitUntil([&] { return server.state() == CTcpPipe::Listening; }, 8000));
    EXPECT_TRUE(server.connects().empty());
  }
  writeFileBytes(file("up2"), {2});
  SocatClient next(file("up2"), file("down2"), true, true);
  ASSERT_TRUE(server.waitConnects(1, 5000));
  EXPECT_TRUE(server.connects()[0]);
  ASSERT_TRUE(server.waitBytes(1, 5000));
  EXPECT_EQ(server.bytes(), std::vector<unsigned char>{2});
}

TEST_F(TcpChannel, ClientConnectFailsAtOnceWithoutServerAndFreesItsPort) {
  CTcpPipe client(1024);
  EXPECT_FALSE(client.connect("127.0.0.1", kServerPort));
  EXPECT_FALSE(client.write("x", 1));
  // The call-back port was released with the failure.
  RecordingPipe other;
  EXPECT_TRUE(other.listen(kClientPort));
}

TEST_F(TcpChannel, UnknownHostFails) {
  CTcpPipe client(1024);
  EXPECT_FALSE(client.connect("no-such-host.invalid", kServerPort));
}

TEST_F(TcpChannel, SecondListenerOnTheSamePortIsRefused) {
  RecordingPipe a, b;
  ASSERT_TRUE(a.listen(kServerPort));
  EXPECT_FALSE(b.listen(kServerPort));
  EXPECT_EQ(b.state(), CTcpPipe::Stopped);
}
