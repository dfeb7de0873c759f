// End to end: a TCP client device, the remote server's relay, and a loopback
// device behind it that echoes what it gets.
#include <gtest/gtest.h>

#include <zor/devtcp.h>
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/tcppeer.h"

#include "zor/remote/remoteserver.h"

#include <atomic>
#include <thread>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;
using zor_test::SettingsScope;

namespace {

class TcpRelay : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 1000;
    theApp.m_autoresumeTimer = 100;
    theApp.m_panicResume = true;
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

  SettingsScope settings;
  CDevNull echo;
  MessageQueue queue;
};

bool write(CDevice& dev, const std::vector<unsigned char>& b) {
  return dev.WriteBuffer(b.data(), static_cast<unsigned long>(b.size()));
}

// Right after a client left, the server needs a moment to listen again.
bool openSoon(CDevTcp& client) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (client.OpenDevice(0, 8192, 8192)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace

TEST_F(TcpRelay, BytesGoRoundTheLoopUnchanged) {
  CRemoteServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  CDevTcp client("127.0.0.1");
  ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
  auto data = pattern(6000, 7);
  ASSERT_TRUE(write(client, data));
  EXPECT_EQ(readBytes(client, data.size(), 5000), data);
}

TEST_F(TcpRelay, ServerKilledAndRestartedIsAPanicThenAResumeAndNothingComesTwice) {
  auto server = std::make_unique<CRemoteServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  CDevTcp client("127.0.0.1");
  LogRecorder rec;
  rec.attach(client);
  ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
  std::vector<unsigned char> before{1, 2, 3};
  ASSERT_TRUE(write(client, before));
  ASSERT_EQ(readBytes(client, 3, 5000), before);

  server.reset();
  // The loss shows at the client's next sends.
  for (int i = 0; i < 200 && rec.countEvent(IDS_PANIC) == 0; ++i) {
    client.WriteByte(0xEE);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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

TEST_F(TcpRelay, ManyConnectCyclesLeaveNoDescriptorAndNoThreadBehind) {
  CRemoteServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  CDevTcp client("127.0.0.1");
  auto cycle = [&] {
    if (!openSoon(client)) return false;
    bool ok = nextState() == 1;
    ok = client.CloseDevice() && ok;
    return nextState() == 0 && ok;
  };
  ASSERT_TRUE(cycle());  // first use starts what lives for the whole process
  int fds = zor_test::fdCount();
  int threads = zor_test::threadCount();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(cycle()) << "cycle " << i;
  EXPECT_EQ(zor_test::fdCount(), fds);
  EXPECT_EQ(zor_test::threadCount(), threads);
}

TEST_F(TcpRelay, RelayWritesGoingOnWhileClientsComeAndGoAreSafe) {
  // The relay sends all the time, so its writes meet the channel's
  // close-and-listen after every client; a client that stops reading makes
  // the channel wait for room when the client closes.
  echo.Loopback(false);
  CRemoteServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    std::vector<unsigned char> block(512, 0x42);
    while (!stop) {
      echo.Stuff(block.data(), static_cast<int>(block.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  CDevTcp client("127.0.0.1");
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(openSoon(client)) << "cycle " << i;
    ASSERT_EQ(nextState(), 1);
    EXPECT_FALSE(readBytes(client, 1, 2000).empty());
    EXPECT_TRUE(client.CloseDevice());
    ASSERT_EQ(nextState(), 0);
  }
  stop = true;
  feeder.join();
}
