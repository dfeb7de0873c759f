// End to end: a TCP client device, the remote server's relay, and a loopback
// device behind it that echoes what it gets. Bulk transfer through the relay
// is in test_granularity_zero.cpp.
#include <gtest/gtest.h>

#include <zor/devtcp.h>
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/relay_flood.h"
#include "support/tcppeer.h"
#include "support/testdevice.h"

#include "zor/remote/remoteserver.h"

#include <atomic>
#include <thread>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;

namespace {

class TcpRelay : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_threadGranularity = 2;
    settings->m_ioWriteTimeout = 1000;
    settings->m_autoresumeTimer = 100;
    settings->m_panicResume = true;
    echo.Loopback(true);
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
  }
  void TearDown() override { echo.CloseDevice(); }

  int nextState(DWORD ms = 5000) {
    MSG m;
    while (queue.get(m, ms))
      if (m.message == CRemoteServer::WM_PIPE_STATE) return static_cast<int>(m.wParam);
    return -1;
  }

  zor_test::SettingsScope settings;
  LogRecorder rec;  // outlives the device that logs into it
  CDevNull echo;
  MessageQueue queue;
};

bool write(CDevice& dev, const std::vector<unsigned char>& b) {
  return dev.WriteBuffer(b.data(), static_cast<unsigned long>(b.size()));
}

// Right after a client left, the server needs a moment to listen again.
bool openSoon(CDevTcp& client) {
  return waitUntil([&] { return client.OpenDevice(0, 8192, 8192); }, 2000);
}

}  // namespace

TEST_F(TcpRelay, ServerKilledAndRestartedIsAPanicThenAResumeAndNothingComesTwice) {
  auto server = std::make_unique<CRemoteServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  CDevTcp client("127.0.0.1");
  rec.attach(client);
  ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
  std::vector<unsigned char> before{1, 2, 3};
  ASSERT_TRUE(write(client, before));
  ASSERT_EQ(readBytes(client, 3, 5000), before);

  server.reset();
  // The loss shows at the client's next sends.
  for (int i = 0; i < 100 && !rec.waitForEvent(IDS_PANIC, 20); ++i) client.WriteByte(0xEE);
  ASSERT_EQ(rec.countEvent(IDS_PANIC), 1u);
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);

  server = std::make_unique<CRemoteServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 5000));
  ASSERT_TRUE(client.IsDeviceOpen());

  std::vector<unsigned char> after{4, 5, 6, 7};
  ASSERT_TRUE(write(client, after));
  EXPECT_EQ(readBytes(client, after.size(), 5000), after);
  // Nothing else turns up: every byte was received once.
  EXPECT_TRUE(readBytes(client, 1, 200).empty());
  std::vector<unsigned char> all = before;
  all.insert(all.end(), after.begin(), after.end());
  EXPECT_EQ(rec.bytes(LOG_RX), all);
}

TEST_F(TcpRelay, ClientsComingAndGoingWhileTheRelaySendsLoseNoByteAndLeaveNothingBehind) {
  // The relay sends all the time, so its writes meet the channel's
  // close-and-listen after every client; a client that stops reading makes
  // the channel wait for room when the client closes.
  echo.Loopback(false);
  rec.attach(echo);
  CRemoteServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    std::vector<unsigned char> block(512, 0x42);
    while (!stop) {
      echo.Stuff(block.data(), static_cast<int>(block.size()));
      // The stimulus: a steady stream, not a flood that only fills the rings.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  struct Join {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Join() {
      stop = true;
      thread.join();
    }
  } join{stop, feeder};  // also when an assertion ends the test
  CDevTcp client("127.0.0.1");
  std::vector<unsigned char> sent;
  auto cycle = [&] {
    if (!openSoon(client) || nextState() != 1) return false;
    bool ok = !readBytes(client, 1, 2000).empty();
    sent.push_back(static_cast<unsigned char>(sent.size()));
    ok = client.WriteByte(sent.back()) && ok;
    ok = client.CloseDevice() && ok;
    return nextState() == 0 && ok;
  };
  ASSERT_TRUE(cycle());  // first use starts what lives for the whole process
  int fds = zor_test::fdCount();
  int threads = zor_test::threadCount();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(cycle()) << "cycle " << i;
  EXPECT_EQ(zor_test::fdCount(), fds);
  EXPECT_EQ(zor_test::threadCount(), threads);
  EXPECT_EQ(rec.bytes(LOG_SERVER_RCV), sent) << "what each client sent before it left";
}

TEST_F(TcpRelay, CallersThatCannotBeCalledBackDoNotLockOthersOutAndAServerOn127_0_0_2Serves) {
  struct PeerWait {
    DWORD saved = CTcpPipe::s_peerWaitMs.exchange(3000);  // a client waits three seconds for its call back
    ~PeerWait() { CTcpPipe::s_peerWaitMs = saved; }
  } peerWait;
  // Each unanswered call back may take far longer than a client waits.
  settings->m_connectionTimeout = 20000;
  auto server = std::make_unique<CRemoteServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  CDevTcp client("127.0.0.1");
  // A port scan: its call back is refused.
  auto scan = connectFrom("127.0.0.3", kServerPort);
  ASSERT_TRUE(scan);
  // Three callers whose call backs go unanswered: each call-back port has a
  // full queue, so the server's connection requests are dropped.
  std::vector<std::unique_ptr<TcpListener>> deaf;
  std::vector<std::unique_ptr<TcpTransport>> held;
  held.push_back(std::move(scan));
  for (const char* caller : {"127.0.0.4", "127.0.0.5", "127.0.0.6"}) {
    deaf.push_back(listenerAt(caller, kClientPort, 0));
    ASSERT_TRUE(deaf.back());
    held.push_back(connectFrom("127.0.0.7", kClientPort, caller));
    ASSERT_TRUE(held.back()) << "filler";
    held.push_back(connectFrom(caller, kServerPort));
    ASSERT_TRUE(held.back()) << "silent";
  }
  ASSERT_TRUE(client.OpenDevice(0, 8192, 8192)) << "served while the three call backs hang";
  ASSERT_EQ(nextState(), 1);
  ASSERT_TRUE(write(client, {1, 2}));
  EXPECT_EQ(readBytes(client, 2, 5000), (std::vector<unsigned char>{1, 2}));
  ASSERT_TRUE(client.CloseDevice());
  ASSERT_EQ(nextState(), 0);
  held.clear();
  deaf.clear();

  // Bound to another loopback address, the server calls back from it.
  server = std::make_unique<CRemoteServer>(&echo, &queue);
  ASSERT_TRUE(server->Start(CDevTcp::TCP_PORT, parseIpv4("127.0.0.2")));
  CDevTcp other("127.0.0.2");
  ASSERT_TRUE(other.OpenDevice(0, 8192, 8192));
  ASSERT_TRUE(write(other, {3, 4, 5}));
  EXPECT_EQ(readBytes(other, 3, 5000), (std::vector<unsigned char>{3, 4, 5}));
  EXPECT_TRUE(other.CloseDevice());
}

namespace {

// A device whose medium stops taking bytes while held: its transmit ring fills.
class HeldDevice : public zor_test::TestDevice {
public:
  std::atomic<bool> hold{true};

protected:
  int hook_writeFile(void* h, const void* data, unsigned long size, unsigned long* done,
                     zor::OVERLAPPED* ovl) override {
    // Bounded: a held write gives up after ten seconds.
    for (int i = 0; i < 2000 && hold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return TestDevice::hook_writeFile(h, data, size, done, ovl);
  }
};

}  // namespace

TEST_F(TcpRelay, AClientThatQueuedBytesForAFullDeviceAndLeftDoesNotHoldTheServer) {
  // Each chunk the device cannot take could wait this long.
  settings->m_ioWriteTimeout = 20000;
  HeldDevice held;
  ASSERT_TRUE(held.OpenDevice(0, 8192, 2048));
  struct Release {
    HeldDevice& dev;
    ~Release() {
      dev.hold = false;
      dev.CloseDevice();
    }
  } release{held};
  CRemoteServer server(&held, &queue);
  ASSERT_TRUE(server.Start());
  {
    CDevTcp client("127.0.0.1");
    ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
    ASSERT_EQ(nextState(), 1);
    auto bulk = pattern(30000, 9);
    for (std::size_t at = 0; at < bulk.size(); at += 1000)
      ASSERT_TRUE(client.WriteBuffer(bulk.data() + at, 1000));
    ASSERT_TRUE(client.CloseDevice());
  }
  ASSERT_EQ(nextState(), 0) << "the server noticed the client leave";
  CDevTcp next("127.0.0.1");
  ASSERT_TRUE(openSoon(next)) << "and serves the next one";
  EXPECT_EQ(nextState(), 1);
  EXPECT_TRUE(next.CloseDevice());
}

TEST_F(TcpRelay, BurstsFarLargerThanTheRingsReachASlowReaderWholeAndInOrder) {
  // At 15 ms a slice every device moves 1024 bytes a pass: 100 KB, read
  // slower than that, and a mebibyte read as it comes; at 0 the media run
  // free and a mebibyte goes too.
  struct Case {
    long granularity;
    std::size_t size, piece;
    int pauseMs;
  };
  for (Case c : {Case{0, 100 * 1024, 1024, 1}, Case{0, 1u << 20, 1024, 1}, Case{15, 100 * 1024, 256, 4},
                 Case{15, 1u << 20, 4096, 0}}) {
    SCOPED_TRACE(testing::Message() << "granularity " << c.granularity << ", " << c.size << " bytes");
    echo.CloseDevice();
    settings->m_threadGranularity = c.granularity;  // read by running workers: changed while none runs
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    rec.attach(echo);
    LogRecorder clientRec;  // outlives the client that logs into it
    {
      CRemoteServer server(&echo, &queue);
      ASSERT_TRUE(server.Start());
      CDevTcp client("127.0.0.1");
      clientRec.attach(client);
      ASSERT_TRUE(openSoon(client));
      const auto data = pattern(c.size, static_cast<unsigned>(c.size));
      // A mebibyte at 15 ms a slice takes some 16 s: one kibibyte a pass.
      const int bound = c.size > (1u << 19) && c.granularity > 0 ? 60000 : 10000;
      EXPECT_TRUE(zor_test::echoSlowly(client, data, c.piece, c.pauseMs, bound) == data);
      EXPECT_EQ(clientRec.countEvent(IDS_RX_OVERRUN), 0u);
      client.CloseDevice();
    }
    EXPECT_EQ(rec.countEvent(IDS_RX_OVERRUN), 0u) << "the served device's ring";
    while (nextState(0) != -1) {
    }
  }
}

TEST_F(TcpRelay, AClientThatStopsReadingWhileTheDeviceFloodsLosesNothingAndTheServerStaysStoppable) {
  for (bool readsAgain : {true, false}) {
    SCOPED_TRACE(readsAgain ? "the client reads again" : "the server stops while held");
    echo.CloseDevice();
    settings->m_threadGranularity = 0;  // read by running workers: changed while none runs
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    CRemoteServer server(&echo, &queue);
    ASSERT_TRUE(server.Start());
    CDevTcp client("127.0.0.1");
    ASSERT_TRUE(openSoon(client));
    ASSERT_EQ(nextState(), 1);
    const std::size_t most = 64u << 20;
    const auto sent = zor_test::floodUntilHeld(echo, 8192, most);
    EXPECT_LT(sent.size(), most) << "the connection never held the relay back";
    if (readsAgain) {
      EXPECT_TRUE(readBytes(client, sent.size(), 30000) == sent) << "whole and in order";
    }
    server.Stop();  // its relay may be held in a send to the client
    EXPECT_FALSE(server.IsRunning());
    client.CloseDevice();
    while (nextState(0) != -1) {
    }
  }
}
