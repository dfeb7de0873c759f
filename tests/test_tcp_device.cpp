// The TCP client device against socat playing the remote server: its open,
// transfer and failures.
#include <gtest/gtest.h>

#include <zor/devtcp.h>

#include "support/recorder.h"
#include "support/tcppeer.h"

#include <unistd.h>
#include <chrono>
#include <future>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;

namespace {

using TcpDevice = SocatTest;

long elapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
          .count());
}

}  // namespace

TEST_F(TcpDevice, OpensOnceAndMovesBlocksWholeInChunksOfAtMost1024) {
  auto down = pattern(1500, 3);
  writeFileBytes(file("down"), down);
  SocatServer server(file("up"), file("down"));
  LogRecorder rec;  // outlives the device that logs into it
  CDevTcp dev("127.0.0.1");
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(3, 8192, 8192));
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192)) << "already open: the first connection stays in use";

  EXPECT_EQ(readBytes(dev, down.size(), 5000), down);
  auto up = pattern(1500, 4);
  ASSERT_TRUE(dev.WriteBuffer(up.data(), static_cast<unsigned long>(up.size())));
  EXPECT_EQ(waitFileBytes(file("up"), up.size(), 5000), up);
  int rx = 0, tx = 0;
  for (auto& r : rec.records()) {
    if (r.kind != LOG_RX && r.kind != LOG_TX) continue;
    (r.kind == LOG_RX ? rx : tx)++;
    EXPECT_LE(r.size, 1024u);
  }
  EXPECT_GE(rx, 2);
  EXPECT_GE(tx, 2);
  EXPECT_TRUE(dev.CloseDevice());
}

TEST_F(TcpDevice, WithoutHostOrServerTheOpenFailsAtOnceAndFreesTheCallBackPort) {
  CDevTcp none;
  EXPECT_FALSE(none.OpenDevice(0, 8192, 8192));
  none.SetHostName("");
  EXPECT_FALSE(none.OpenDevice(0, 8192, 8192));
  EXPECT_FALSE(CDevTcp("no-such-host.invalid").OpenDevice(0, 8192, 8192));

  CDevTcp dev("127.0.0.1");
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
    // A refused connection is not the wait for a call back (generous bound).
    EXPECT_LT(elapsedMs(start), 5000);
    EXPECT_FALSE(dev.IsDeviceOpen());
  }
  CTcpPipe other(1024);
  EXPECT_TRUE(other.listen(kClientPort));
}

TEST_F(TcpDevice, ServerThatNeverCallsBackFailsTheOpenOnceTheWaitIsOver) {
  CTcpPipe::s_peerWaitMs = 600;
  SocatServer server(file("up"), file("down"), false);
  CDevTcp dev("localhost");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  long took = elapsedMs(start);
  EXPECT_GE(took, 600) << "gave up before the wait was over";
  EXPECT_LT(took, 6000) << "the wait was not shortened, or the open hangs";
  EXPECT_FALSE(dev.IsDeviceOpen());
}

TEST_F(TcpDevice, AnotherUsersCallBackIsRefusedAndLoggedAndTheServersStillLinks) {
  if (::geteuid() != 0 || !haveProgram("setpriv"))
    GTEST_SKIP() << "needs root and setpriv to be another user";
  writeFileBytes(file("down"), {1, 2, 3});
  SocatServer server(file("up"), file("unused"), false);
  LogRecorder rec;
  CDevTcp dev("127.0.0.1");
  rec.attach(dev);
  // Its destructor waits for the open, also when an assertion ends the test.
  auto opened = std::async(std::launch::async, [&] { return dev.OpenDevice(0, 8192, 8192); });
  ASSERT_TRUE(waitUntil([] { return isListening(kClientPort); }, 5000));
  // Another user's process calls first, from the server's very address, and
  // keeps its connection open while it waits.
  BackgroundProcess impostor({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "socat", "-u",
                              "SYSTEM:printf xx; sleep 3", "TCP:127.0.0.1:" + std::to_string(kClientPort)});
  ASSERT_TRUE(rec.waitForEvent(IDS_STRANGER_REFUSED, 5000));
  BackgroundProcess caller(
      {"socat", "-u", "OPEN:" + file("down") + ",ignoreeof", "TCP:127.0.0.1:" + std::to_string(kClientPort)});
  ASSERT_TRUE(opened.get());
  EXPECT_EQ(readBytes(dev, 3, 5000), (std::vector<unsigned char>{1, 2, 3}));
  EXPECT_TRUE(readBytes(dev, 1, 200).empty());
  EXPECT_EQ(rec.bytes(LOG_RX), (std::vector<unsigned char>{1, 2, 3})) << "nothing of the impostor's";
  EXPECT_EQ(rec.countEvent(IDS_STRANGER_REFUSED), 1u);
  EXPECT_TRUE(dev.CloseDevice());
  impostor.stop();
}
