// XON/XOFF flow control with its tides and pacing, and the reception watchdog.
#include <gtest/gtest.h>

#include "support/recorder.h"
#include "support/testdevice.h"

#include <thread>

using namespace zor;
using namespace zor_test;

namespace {

class FlowTest : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 2000;
    theApp.m_panicResume = false;
  }
  SettingsScope settings;
};

}  // namespace

TEST_F(FlowTest, TidesSendXoffAt768AndXonAt256) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.written() == std::vector<unsigned char>{kXon}; }, 2000))
      << "the open queues one XON";

  dev.feed(std::vector<unsigned char>(767, 'x'));
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 767; }, 2000));
  EXPECT_EQ(rec.countEvent(IDS_RX_HIGH_TIDE), 0u);
  dev.feed({'y'});
  ASSERT_TRUE(rec.waitForEvent(IDS_RX_HIGH_TIDE, 2000));
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 2; }, 2000));
  EXPECT_EQ(dev.written().back(), kXoff);

  std::vector<unsigned char> buf(1024);
  EXPECT_EQ(dev.ReadBuffer(buf.data(), 511), 511u);  // 257 left: still above the low tide
  EXPECT_EQ(rec.countEvent(IDS_RX_LOW_TIDE), 1u) << "only the open's XON so far";
  EXPECT_EQ(dev.ReadByte(), 'x');  // 256: XON
  EXPECT_EQ(rec.countEvent(IDS_RX_LOW_TIDE), 2u);
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 3; }, 2000));
  EXPECT_EQ(dev.written().back(), kXon);
}

TEST_F(FlowTest, FlowBytesAreRemovedLoggedAndSteerTransmission) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 1; }, 2000));

  dev.feed({'a', kXoff, 'b', kXon, kXoff, 'c'});
  EXPECT_EQ(readBytes(dev, 3, 2000), (std::vector<unsigned char>{'a', 'b', 'c'}));
  EXPECT_EQ(rec.bytes(LOG_RX), (std::vector<unsigned char>{'a', 'b', 'c'}));
  EXPECT_EQ(rec.countEvent(IDS_XOFF_RECEIVED), 2u);
  EXPECT_EQ(rec.countEvent(IDS_XON_RECEIVED), 1u);
  EXPECT_FALSE(dev.TxReady()) << "the last flow byte was XOFF";

  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("held"), 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(dev.written().size(), 1u) << "nothing goes out under XOFF";
  dev.feed({kXon});
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 5; }, 2000));

  dev.feed({kXoff, kXon});  // only flow bytes: nothing stored
  ASSERT_TRUE(rec.waitForEvent(IDS_XON_RECEIVED, 2000, 3));
  EXPECT_EQ(dev.GetRxBufferCount(), 0u);
  EXPECT_TRUE(dev.TxReady());
}

TEST_F(FlowTest, WithoutXonXoffFlowBytesAreData) {
  TestDevice dev;
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.feed({kXoff, kXon});
  EXPECT_EQ(readBytes(dev, 2, 2000), (std::vector<unsigned char>{kXoff, kXon}));
  EXPECT_TRUE(dev.written().empty()) << "no XON at open";
}

TEST_F(FlowTest, ProtocolOverrideWinsBothWays) {
  theApp.m_xProtocolOverride = 0;
  {
    TestDevice dev;
    dev.EnableXonHandshake(true, kXon, kXoff);
    ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
    dev.feed({kXoff});
    EXPECT_EQ(readBytes(dev, 1, 2000), std::vector<unsigned char>{kXoff});
  }
  theApp.m_xProtocolOverride = 1;
  {
    LogRecorder rec;  // outlives the device that logs into it
    TestDevice dev;
    rec.attach(dev);
    dev.EnableXonHandshake(false, kXon, kXoff);
    ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
    dev.feed({kXoff, 'z'});
    EXPECT_EQ(readBytes(dev, 1, 2000), std::vector<unsigned char>{'z'});
    EXPECT_EQ(rec.countEvent(IDS_XOFF_RECEIVED), 1u);
    dev.CloseDevice();  // the close's "off" is overridden too
    ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
    dev.feed({kXon, 'w'});
    EXPECT_EQ(readBytes(dev, 1, 2000), std::vector<unsigned char>{'w'});
    EXPECT_EQ(rec.countEvent(IDS_XON_RECEIVED), 1u);
  }
}

TEST_F(FlowTest, PacingStopsWritesUntilTheReceiverHasRead) {
  theApp.m_writesBeforeXoff = 2;
  theApp.m_ioTimeout = 50;
  TestDevice dev(1);  // one byte per write: each byte is one write
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 1; }, 2000));

  dev.holdReads = true;  // the receiver stops completing reads
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int before = dev.writeCalls();
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("abcdef"), 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(dev.writeCalls() - before, 2) << "no more writes than the pacing allows without a read";
  dev.holdReads = false;
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() == 7; }, 3000));
}

TEST_F(FlowTest, WatchdogFiresOnlyWhenDataResumesAfterTooLongAGap) {
  theApp.m_panicResume = true;
  theApp.m_autoresumeTimer = 50;
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  dev.WatchDogTime(400);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  for (int i = 0; i < 8; ++i) {
    dev.feed({'.'});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u) << "bytes every 100 ms keep a 400 ms watchdog quiet";
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u) << "silence alone never fires";
  dev.feed({'!'});
  EXPECT_TRUE(rec.waitForEvent(IDS_PANIC, 3000)) << "a byte after 700 ms of silence fires";
  EXPECT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
}
