// XON/XOFF flow control with its tides and pacing, the reception watchdog,
// and panic close with the background reopen; each at a paced "Thread
// granularity" and at 0, where the threads wait for their work.
#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include "support/recorder.h"
#include "support/testdevice.h"

#include <thread>

using namespace zor;
using namespace zor_test;
using Bytes = std::vector<unsigned char>;

namespace {

class FlowTest : public ::testing::TestWithParam<long> {
protected:
  void SetUp() override {
    settings->m_threadGranularity = GetParam();
    settings->m_ioTimeout = 100;
    settings->m_ioWriteTimeout = 2000;
    settings->m_autoresumeTimer = 30;
    settings->m_panicResume = false;
  }
  bool zero() const { return GetParam() == 0; }
  SettingsScope settings;
};

using PanicTest = FlowTest;

}  // namespace

INSTANTIATE_TEST_SUITE_P(Granularity, FlowTest, ::testing::Values(2, 0));
INSTANTIATE_TEST_SUITE_P(Granularity, PanicTest, ::testing::Values(2, 0));

TEST_P(FlowTest, FlowBytesTidesAndPacingSteerTransmission) {
  settings->m_writesBeforeXoff = 2;
  settings->m_ioTimeout = 50;  // how long a paced write waits for a read
  LogRecorder rec;             // outlives the device that logs into it
  TxReports tx;
  TestDevice dev(1024, 1);  // one byte a write
  rec.attach(dev);
  dev.Monitor()->SetWindowTarget(&tx.queue);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  Bytes out{kXon}, buf(1024);
  auto sent = [&] { return waitUntil([&] { return dev.written() == out; }, 3000); };
  auto sendsMore = [&](int ms) { return waitUntil([&] { return dev.written().size() > out.size(); }, ms); };
  ASSERT_TRUE(sent()) << "the open invites the peer";

  // The peer's flow bytes are taken out of the data, logged, and steer our transmission.
  dev.feed({'a', kXoff, 'b', kXon, kXoff, 'c'});
  EXPECT_EQ(readBytes(dev, 3, 3000), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(rec.bytes(LOG_RX), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(rec.countEvent(IDS_XOFF_RECEIVED), 2u);
  EXPECT_EQ(rec.countEvent(IDS_XON_RECEIVED), 1u);
  EXPECT_FALSE(dev.TxReady()) << "the last flow byte was XOFF";
  ASSERT_TRUE(tx.parked());
  ASSERT_TRUE(dev.WriteBuffer(Bytes{'h', 'e', 'l', 'd'}.data(), 4));
  if (zero()) {  // the writer resumes the TX thread, which parks again
    EXPECT_EQ(tx.next(), 1);
    EXPECT_EQ(tx.next(), 0);
  }
  EXPECT_FALSE(sendsMore(100)) << "nothing goes out under XOFF";
  dev.feed({kXon});
  dev.Commit();
  EXPECT_EQ(dev.GetTxBufferCount(), 0u) << "the peer's XON resumes transmission; Commit waits for it";
  out.insert(out.end(), {'h', 'e', 'l', 'd'});
  ASSERT_TRUE(sent());
  dev.feed({kXoff, kXon});  // only flow bytes: nothing stored
  ASSERT_TRUE(rec.waitForEvent(IDS_XON_RECEIVED, 3000, 3));
  EXPECT_EQ(dev.GetRxBufferCount(), 0u);
  EXPECT_TRUE(dev.TxReady());

  // Our XOFF at 768 stored bytes, our XON again at 256.
  dev.feed(Bytes(767, 'x'));
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 767; }, 3000));
  EXPECT_EQ(rec.countEvent(IDS_RX_HIGH_TIDE), 0u);
  dev.feed({'y'});
  out.push_back(kXoff);
  ASSERT_TRUE(sent()) << "XOFF at 768";
  EXPECT_EQ(rec.countEvent(IDS_RX_HIGH_TIDE), 1u);
  EXPECT_EQ(dev.ReadBuffer(buf.data(), 511), 511u);
  EXPECT_EQ(rec.countEvent(IDS_RX_LOW_TIDE), 1u) << "257 left: only the open's XON so far";
  EXPECT_EQ(dev.ReadByte(), 'x');
  out.push_back(kXon);
  ASSERT_TRUE(sent()) << "XON at 256";
  EXPECT_EQ(rec.countEvent(IDS_RX_LOW_TIDE), 2u);

  // Pacing: without a completed read, no more than two writes.
  ASSERT_TRUE(tx.parked());
  dev.holdReads = true;  // the receiver stops completing reads
  ASSERT_TRUE(dev.WriteBuffer(Bytes{'a', 'b', 'c', 'd', 'e', 'f'}.data(), 6));
  if (zero()) {
    EXPECT_EQ(tx.next(), 1);
    EXPECT_EQ(tx.next(), 0) << "paced out";
  }
  EXPECT_FALSE(waitUntil([&] { return dev.written().size() > out.size() + 2; }, 200))
      << "no more writes than the pacing allows without a read";
  dev.holdReads = false;
  out.insert(out.end(), {'a', 'b', 'c', 'd', 'e', 'f'});
  EXPECT_TRUE(sent()) << "the next read releases it";

  // The same bound for single bytes, which a writer at 0 may send itself.
  dev.holdReads = true;
  for (unsigned char c : {'g', 'h', 'i', 'j', 'k'}) ASSERT_TRUE(dev.WriteBuffer(&c, 1));
  EXPECT_FALSE(waitUntil([&] { return dev.written().size() > out.size() + 2; }, 200))
      << "no more writes than the pacing allows without a read, whoever sends them";
  dev.holdReads = false;
  out.insert(out.end(), {'g', 'h', 'i', 'j', 'k'});
  EXPECT_TRUE(sent());
}

TEST_P(FlowTest, FlowBytesAreDataUnlessEnabledAndTheOverrideWinsBothWays) {
  struct Case {
    int override;
    bool enable, flow;
  };
  for (Case c : {Case{-1, false, false}, Case{0, true, false}, Case{-1, true, true}, Case{1, false, true}}) {
    SCOPED_TRACE(testing::Message() << "override " << c.override << ", enabled " << c.enable);
    settings->m_xProtocolOverride = c.override;
    LogRecorder rec;  // outlives the device that logs into it
    TestDevice dev;
    rec.attach(dev);
    dev.EnableXonHandshake(c.enable, kXon, kXoff);
    // An override also wins over the "off" of the close.
    for (int open = 0; open < (c.override == -1 ? 1 : 2); ++open) {
      ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
      dev.feed({kXoff, 'z', kXon});
      EXPECT_EQ(readBytes(dev, c.flow ? 1 : 3, 2000), c.flow ? Bytes{'z'} : (Bytes{kXoff, 'z', kXon}));
      EXPECT_EQ(rec.countEvent(IDS_XOFF_RECEIVED), c.flow ? open + 1u : 0u);
      if (c.flow)
        EXPECT_TRUE(waitUntil([&] { return !dev.written().empty(); }, 2000)) << "the open sends an XON";
      else
        EXPECT_TRUE(dev.written().empty()) << "no XON without flow control";
      dev.CloseDevice();
    }
  }
}

TEST_P(PanicTest, AFatalReadOrLateDataClosesThenTheResumeReopensAlike) {
  settings->m_panicResume = true;
  for (bool watchdog : {false, true}) {
    SCOPED_TRACE(watchdog ? "data after a gap longer than the watchdog" : "fatal read");
    LogRecorder rec;  // outlives the device that logs into it
    TestDevice dev;
    rec.attach(dev);
    dev.EnableXonHandshake(true, kXon, kXoff);
    dev.WatchDogTime(400);
    ASSERT_TRUE(dev.OpenDevice(2, 4096, 2048));
    const int flags = dev.lastFlags;
    if (watchdog) {
      // The stimulus: bytes 100 ms apart, then a silence, then one more byte.
      for (int i = 0; i < 4; ++i) {
        if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dev.feed({'.'});
      }
      ASSERT_EQ(readBytes(dev, 4, 3000).size(), 4u);
      EXPECT_FALSE(rec.waitForEvent(IDS_PANIC, 600))
          << "gaps below the watchdog, and silence alone, never fire";
      dev.feed({'!'});
    } else {
      dev.unplugged = true;
      dev.feed({});
      ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
      ASSERT_TRUE(waitUntil([&] { return dev.openCalls() >= 3; }, 3000)) << "the resumer keeps trying";
      EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
      EXPECT_FALSE(dev.IsDeviceOpen());
      dev.failProgram = true;  // the medium opens again, but cannot be programmed yet
      dev.unplugged = false;
      const int calls = dev.openCalls();
      ASSERT_TRUE(waitUntil([&] { return dev.openCalls() >= calls + 2; }, 3000))
          << "a half-way open is retried";
      dev.failProgram = false;
    }
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
    std::vector<unsigned long> panics;
    for (unsigned long e : rec.events())
      if (e == IDS_PANIC || e == IDS_PANIC_RESUMED) panics.push_back(e);
    EXPECT_THAT(panics, ::testing::ElementsAre(IDS_PANIC, IDS_PANIC_RESUMED));
    EXPECT_TRUE(dev.IsDeviceOpen());
    EXPECT_EQ(dev.lastInName, "NULL");
    EXPECT_EQ(dev.lastFlags, flags);
    EXPECT_EQ(dev.lastRx, 4096);
    EXPECT_EQ(dev.lastTx, 2048);
    // The reopened device works, and without XON/XOFF: the panic close switched it off.
    dev.feed({kXoff, 'k'});
    EXPECT_EQ(readBytes(dev, 2, 3000), (Bytes{kXoff, 'k'}));
  }
}

TEST_P(PanicTest, CloseOrDestructionStopsTheRetriesAndLeavesNoThread) {
  settings->m_panicResume = true;
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    int before = threadCount();
    {
      LogRecorder rec;  // outlives the device that logs into it
      TestDevice dev;
      rec.attach(dev);
      ASSERT_TRUE(dev.OpenDevice(3, 1024, 1024));
      dev.unplugged = true;
      dev.feed({});
      ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
      if (!destroy) {
        EXPECT_TRUE(dev.CloseDevice());
        int calls = dev.openCalls();
        dev.unplugged = false;
        EXPECT_FALSE(waitUntil([&] { return dev.openCalls() > calls + 1; }, 200))
            << "at most an attempt already under way";
        EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
        EXPECT_FALSE(dev.IsDeviceOpen());
      }
    }
    EXPECT_LE(threadCount(), before + 1) << "a reactor thread may have started once";
  }
}

TEST_P(PanicTest, WithoutResumeTheDeviceStaysOpenButStopsTransferring) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.unplugged = true;
  dev.feed({});
  ASSERT_TRUE(waitUntil([&] { return dev.failedReads > 0; }, 3000));
  dev.unplugged = false;
  dev.feed({'n', 'o'});
  EXPECT_TRUE(readBytes(dev, 1, 200).empty()) << "the direction in panic moves nothing more";
  EXPECT_TRUE(dev.IsDeviceOpen());
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
  EXPECT_TRUE(dev.CloseDevice());
}
