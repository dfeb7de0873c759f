// Panic close and background reopen.
#include <gtest/gtest.h>

#include "support/recorder.h"
#include "support/testdevice.h"

#include <thread>

using namespace zor;
using namespace zor_test;

namespace {

class PanicTest : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 300;
    theApp.m_autoresumeTimer = 30;
    theApp.m_panicResume = true;
  }
  SettingsScope settings;
};

}  // namespace

TEST_F(PanicTest, FatalErrorClosesThenResumeReopensAlike) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(2, 4096, 2048));
  int flags = dev.lastFlags;

  dev.unplugged = true;
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  ASSERT_TRUE(waitUntil([&] { return dev.openCalls() >= 3; }, 3000)) << "the resumer keeps trying";
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
  EXPECT_FALSE(dev.IsDeviceOpen());

  dev.unplugged = false;
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_TRUE(dev.IsDeviceOpen());
  EXPECT_EQ(dev.lastInName, "NULL");
  EXPECT_EQ(dev.lastFlags, flags);
  EXPECT_EQ(dev.lastRx, 4096);
  EXPECT_EQ(dev.lastTx, 2048);
  auto events = rec.events();
  auto panic = std::find(events.begin(), events.end(), IDS_PANIC);
  auto resumed = std::find(events.begin(), events.end(), IDS_PANIC_RESUMED);
  EXPECT_LT(panic, resumed);

  // The reopened device works, and runs without XON/XOFF: the panic close switched it off.
  dev.feed({kXoff, 'k'});
  EXPECT_EQ(readBytes(dev, 2, 2000), (std::vector<unsigned char>{kXoff, 'k'}));
}

TEST_F(PanicTest, AReopenThatFailsHalfWayIsRetried) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.unplugged = true;
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  dev.failProgram = true;  // the medium opens again, but cannot be programmed yet
  dev.unplugged = false;
  int calls = dev.openCalls();
  ASSERT_TRUE(waitUntil([&] { return dev.openCalls() >= calls + 2; }, 3000)) << "the resumer keeps trying";
  dev.failProgram = false;
  EXPECT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_TRUE(dev.IsDeviceOpen());
}

TEST_F(PanicTest, CloseStopsTheRetries) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.unplugged = true;
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  EXPECT_TRUE(dev.CloseDevice());
  int calls = dev.openCalls();
  dev.unplugged = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(dev.openCalls(), calls + 1) << "at most an attempt already under way";
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
  EXPECT_FALSE(dev.IsDeviceOpen());
}

TEST_F(PanicTest, WithoutResumeTheDeviceStaysOpenButStopsTransferring) {
  theApp.m_panicResume = false;
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.unplugged = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  dev.unplugged = false;
  dev.feed({'n', 'o'});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(dev.IsDeviceOpen());
  EXPECT_EQ(dev.GetRxBufferCount(), 0u) << "the direction in panic moves nothing more";
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
  EXPECT_TRUE(dev.CloseDevice());
}

TEST_F(PanicTest, DestroyingDuringRetriesLeavesNoThread) {
  int before = threadCount();
  {
    LogRecorder rec;  // outlives the device that logs into it
    TestDevice dev;
    rec.attach(dev);
    ASSERT_TRUE(dev.OpenDevice(3, 1024, 1024));
    dev.unplugged = true;
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  }
  EXPECT_LE(threadCount(), before + 1) << "a reactor thread may have started once";
}
