// The TCP client device against socat playing the remote server.
#include <gtest/gtest.h>

#include <zor/devtcp.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/tcppeer.h"

#include <chrono>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;

namespace {

class ProbeTcp : public CDevTcp {
public:
  using CDevTcp::CDevTcp;
  int flags() const { return OverlapFlags(); }
  bool fatal(unsigned long error) { return on_io_error(error, 1); }
};

using TcpDevice = SocatTest;

long elapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
          .count());
}

}  // namespace

TEST_F(TcpDevice, OpensWithoutOverlapWhateverTheFlagsAndRefusesASecondOpen) {
  writeFileBytes(file("down"), {7, 8, 9});
  SocatServer server(file("up"), file("down"));
  ProbeTcp dev("127.0.0.1");
  EXPECT_EQ(dev.Type(), ZOR_TCP);
  ASSERT_TRUE(dev.OpenDevice(3, 8192, 8192));
  EXPECT_EQ(dev.flags(), 0);
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  // The first connection is still the one in use, both ways.
  EXPECT_EQ(readBytes(dev, 3, 5000), (std::vector<unsigned char>{7, 8, 9}));
  const unsigned char up[] = {1, 2};
  ASSERT_TRUE(dev.WriteBuffer(up, 2));
  EXPECT_EQ(waitFileBytes(file("up"), 2, 5000), (std::vector<unsigned char>{1, 2}));
  EXPECT_TRUE(dev.CloseDevice());
}

TEST_F(TcpDevice, WithoutHostNothingIsOpened) {
  CDevTcp dev;
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  dev.SetHostName("");
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  EXPECT_FALSE(dev.IsDeviceOpen());
}

TEST_F(TcpDevice, WithoutServerTheOpenFailsAtOnce) {
  CDevTcp dev("127.0.0.1");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  // A refused connection is not the 10 s wait for a call back (generous bound).
  EXPECT_LT(elapsedMs(start), 5000);
  EXPECT_FALSE(dev.IsDeviceOpen());
}

TEST_F(TcpDevice, ServerThatNeverCallsBackFailsTheOpenAfterTenSeconds) {
  SocatServer server(file("up"), file("down"), false);
  CDevTcp dev("localhost");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
  EXPECT_GE(elapsedMs(start), 10000);
  EXPECT_FALSE(dev.IsDeviceOpen());
}

TEST_F(TcpDevice, BlocksOf1500BytesArriveWholeInOrderInChunksOfAtMost1024) {
  auto down = pattern(1500, 3);
  writeFileBytes(file("down"), down);
  SocatServer server(file("up"), file("down"));
  CDevTcp dev("127.0.0.1");
  LogRecorder rec;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 8192, 8192));

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

TEST_F(TcpDevice, ConnectionLossErrorsAreFatalOthersAreNot) {
  ProbeTcp dev("127.0.0.1");
  for (unsigned long e : {10038ul, 10048ul, 10050ul, 10053ul, 10054ul, 10057ul, 10058ul, 10064ul, 10065ul})
    EXPECT_TRUE(dev.fatal(e)) << e;
  for (unsigned long e : {0ul, 995ul, 10047ul, 10059ul, 10060ul, 10061ul, 10063ul, 10066ul})
    EXPECT_FALSE(dev.fatal(e)) << e;
}
