// A serial line whose far end goes away and comes back: panic, then resume.
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using namespace zor;
using namespace zor_test;
using zortest::asString;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

class SerialPanic : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioTimeout = 50;
    theApp.m_ioWriteTimeout = 300;
    theApp.m_autoresumeTimer = 20;
    theApp.m_panicResume = true;
  }
  void TearDown() override { zortest::unlinkComPort(portNumber()); }
  SettingsScope settings;
};

TEST_P(SerialPanic, AVanishedLinePanicsWithoutSpinningAndResumesWhenBack) {
  LogRecorder rec;  // outlives the device that logs into it
  auto first = std::make_unique<PtyPair>();
  ASSERT_TRUE(first->ok());
  ASSERT_TRUE(zortest::linkComPort(portNumber(), first->path()));
  CDevRS232 dev;
  rec.attach(dev);
  dev.DeviceProgram(false, 38400, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), GetParam(), 4096, 4096));
  ASSERT_TRUE(first->send("before"));
  ASSERT_EQ(asString(readBytes(dev, 6, 3000)), "before");

  // The adapter is pulled: its node goes (the number of a closed pty would
  // soon name another test's line), and the line hangs up.
  ASSERT_TRUE(zortest::linkComPort(portNumber(), "/dev/zor-test-unplugged"));
  first->hangUp();
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  EXPECT_FALSE(dev.IsDeviceOpen());

  // While the line is gone the device retries now and then and otherwise sleeps.
  long cpuBefore = zortest::processCpuMs();
  auto wallBefore = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  long cpuMs = zortest::processCpuMs() - cpuBefore;
  long wallMs = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallBefore)
          .count());
  EXPECT_LT(cpuMs, wallMs / 2) << "a thread spins while the line is gone";
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 1u);

  PtyPair second;  // plugged in again
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(zortest::linkComPort(portNumber(), second.path()));
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_TRUE(dev.IsDeviceOpen());
  zortest::LineSettings line;
  ASSERT_TRUE(second.settings(line));
  EXPECT_EQ(line.rate, 38400u) << "the reopen programs the line again";

  ASSERT_TRUE(second.send("after"));
  EXPECT_EQ(asString(readBytes(dev, 5, 3000)), "after");
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("back"), 4));
  EXPECT_EQ(second.receive(4, 3000), "back");
  dev.CloseDevice();
}

INSTANTIATE_TEST_SUITE_P(Modes, SerialPanic, ::testing::Values(0, 3));

TEST(SerialPanicOff, WithoutResumeADeadLineStopsButDoesNotSpin) {
  SettingsScope settings;
  theApp.m_threadGranularity = 2;
  theApp.m_ioWriteTimeout = 300;
  theApp.m_panicResume = false;
  LogRecorder rec;
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
  CDevRS232 dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  pty.hangUp();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  long cpuBefore = zortest::processCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(zortest::processCpuMs() - cpuBefore, 250);
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
  dev.CloseDevice();
  zortest::unlinkComPort(portNumber());
}

}  // namespace
