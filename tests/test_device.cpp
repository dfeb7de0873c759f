// Device lifecycle, the byte-stream calls, logging and notification, and the
// loopback device's queue in both overlap modes.
#include <gtest/gtest.h>

#include "support/recorder.h"
#include "support/tcppeer.h"
#include "support/testdevice.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using namespace zor_test;

namespace {

class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_ioWriteTimeout = 300;
    settings->m_threadGranularity = 2;
  }
  SettingsScope settings;
};

std::vector<unsigned char> bytesOf(const char* s) { return {s, s + std::strlen(s)}; }
const unsigned char* data(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

}  // namespace

TEST_F(DeviceTest, OpenCloseAndReopenWithNewSizes) {
  CDevNull dev;
  EXPECT_TRUE(dev.CloseDevice());  // never opened: nothing to do
  EXPECT_EQ(dev.DataReadyEvent(), nullptr);
  EXPECT_FALSE(dev.OpenDevice(0, 0, 1024));
  EXPECT_FALSE(dev.OpenDevice(0, 1024, -5));
  EXPECT_FALSE(dev.IsDeviceOpen()) << "sizes below one leave it closed";
  EXPECT_FALSE(dev.WriteByte('x')) << "no TX storage: the write times out";
  EXPECT_EQ(dev.ReadByte(), 0);

  ASSERT_TRUE(dev.OpenDevice(0, 64, 32));
  EXPECT_TRUE(dev.IsDeviceOpen());
  EXPECT_NE(dev.DataReadyEvent(), nullptr);
  EXPECT_EQ(dev.GetMaxTransferSize(), 31u);
  EXPECT_FALSE(dev.OpenDevice(0, 128, 128)) << "already open";
  EXPECT_EQ(dev.GetMaxTransferSize(), 31u) << "the open device keeps running unchanged";
  EXPECT_TRUE(dev.DeviceExist("no such device")) << "an open device exists whatever the name";
  EXPECT_FALSE(CDevNull().DeviceExist("/nonexistent/zor-device"));
  for (const char* pseudo : {"NULL", "PB:", "TCP"}) EXPECT_TRUE(CDevNull().DeviceExist(pseudo)) << pseudo;

  EXPECT_TRUE(dev.CloseDevice());
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_EQ(dev.DataReadyEvent(), nullptr);
  ASSERT_TRUE(dev.OpenDevice(0, 2048, 512));
  EXPECT_EQ(dev.GetMaxTransferSize(), 511u);

  // Rings too large to be meant are refused, not thrown at the caller.
  CDevNull huge;
  for (int size : {2147483647, 2147483600, (256 << 20) + 1}) {
    EXPECT_FALSE(huge.OpenDevice(0, size, 1024)) << size;
    EXPECT_FALSE(huge.OpenDevice(0, 1024, size)) << size;
  }
  EXPECT_FALSE(huge.IsDeviceOpen());
  EXPECT_TRUE(huge.OpenDevice(0, 1024, 1024)) << "a refused open leaves the device usable";
}

TEST_F(DeviceTest, ThousandOpenCloseCyclesLeaveNoDescriptorOrThread) {
  settings->m_threadGranularity = 0;  // a close need not wait for a slice
  {
    CDevNull first;  // whatever starts once (the reactor) starts here
    ASSERT_TRUE(first.OpenDevice(0, 1024, 1024));
  }
  const int fds = fdCount(), threads = threadCount();
  // Each close pauses for waiters on its data-ready event, so eight devices
  // share the thousand cycles.
  std::vector<std::thread> cyclers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t)
    cyclers.emplace_back([&] {
      CDevNull dev;
      dev.Loopback(true);
      for (int i = 0; i < 125; ++i)
        if (!dev.OpenDevice(0, 1024, 1024) || !dev.CloseDevice()) ++failures;
    });
  for (auto& c : cyclers) c.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(fdCount(), fds);
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= threads; }, 3000)) << threadCount() << " > " << threads;
}

TEST_F(DeviceTest, OneHandleRunsBothDirectionsOverlapped) {
  for (int flags : {0, 1, 2, 3}) {
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice(flags, 1024, 1024));
    EXPECT_EQ(dev.flags(), flags ? 3 : 0) << "flags " << flags;
    dev.feed({'o', 'k'});
    EXPECT_EQ(readBytes(dev, 2, 2000), bytesOf("ok"));
  }
}

TEST_F(DeviceTest, WriteSpaceEdgesFlushAndTheLoggerSlot) {
  LogRecorder rec, second;  // outlive the device that logs into them
  TestDevice dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.GetTxBufferCount() == 0; }, 2000)) << "the XON of the open went out";
  // Hold transmission with an XOFF so that the TX ring keeps what is written.
  dev.feed({kXoff, 'a', 'b'});
  ASSERT_TRUE(waitUntil([&] { return !dev.TxReady() && dev.GetRxBufferCount() == 2; }, 2000));

  EXPECT_EQ(dev.GetMaxTransferSize(), 1023u);
  EXPECT_TRUE(dev.WriteBuffer(nullptr, 0)) << "n = 0 queues nothing";
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  std::vector<unsigned char> block = zortest::pattern(1024);
  EXPECT_FALSE(dev.WriteBuffer(block.data(), 1024)) << "1024 bytes never fit a 1024 ring";
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  EXPECT_TRUE(dev.WriteBuffer(block.data(), 1023));
  EXPECT_EQ(dev.GetTxBufferCount(), 1023u);
  EXPECT_EQ(dev.GetMaxTransferSize(), 0u);
  EXPECT_FALSE(dev.WriteByte('x')) << "full: times out, queues nothing";
  EXPECT_EQ(dev.GetTxBufferCount(), 1023u);
  EXPECT_TRUE(dev.TXQueue());
  dev.Flush(true, false);
  EXPECT_EQ(dev.GetRxBufferCount(), 0u);
  EXPECT_EQ(dev.GetTxBufferCount(), 1023u) << "only what is asked is discarded";

  dev.feed({kXon});  // XON: the ring drains
  settings->m_ioWriteTimeout = 3000;
  dev.Commit();
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() >= 1024; }, 3000));
  auto out = dev.written();
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 1023, out.end() - 1023));

  dev.feed({kXoff});
  ASSERT_TRUE(waitUntil([&] { return !dev.TxReady(); }, 2000));
  ASSERT_TRUE(dev.WriteBuffer(data("xyz"), 3));
  dev.Flush(false, true);
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  dev.Flush(false, false);
  dev.Commit();  // nothing queued: returns at once
  EXPECT_FALSE(dev.TXQueue());

  // A replaced logger hears nothing more; uninstalling twice is harmless.
  second.attach(dev);
  dev.Flush(false, false);
  dev.InstallLogger(nullptr, 0);
  dev.Flush(false, false);
  dev.InstallLogger(nullptr, 0);
  EXPECT_EQ(rec.countEvent(IDS_BUFFERS_FLUSHED), 3u);
  EXPECT_EQ(second.countEvent(IDS_BUFFERS_FLUSHED), 1u);
}

TEST_F(DeviceTest, ReadsTheDataReadyEventAndNotificationAtTheThreshold) {
  MessageQueue queue;  // outlives the device that posts to it
  TestDevice dev;
  dev.SetNotify(&queue, 0x8001, 10);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  HANDLE ready = dev.DataReadyEvent();
  EXPECT_FALSE(dev.RXQueue());
  EXPECT_EQ(dev.PollByte(), 0);

  dev.feed(std::vector<unsigned char>(9, 'a'));
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 9; }, 2000));
  EXPECT_EQ(queue.size(), 0u) << "9 is below the threshold";
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT);
  dev.feed({1, 2, 3});
  MSG msg;
  ASSERT_TRUE(queue.get(msg, 2000));
  EXPECT_EQ(msg.message, 0x8001u);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 12);
  EXPECT_EQ(WaitForSingleObject(ready, 2000), WAIT_OBJECT_0) << "signalled right after the post";

  unsigned char buf[16];
  EXPECT_EQ(dev.ReadBuffer(buf, 0), 0u) << "max 0 moves nothing";
  EXPECT_EQ(dev.ReadBuffer(buf, 9), 9u);
  EXPECT_EQ(dev.PollByte(), 1);
  EXPECT_EQ(dev.GetRxBufferCount(), 3u) << "PollByte leaves the byte";
  EXPECT_EQ(dev.ReadBuffer(buf, 1), 1u);
  EXPECT_EQ(dev.ReadByte(), 2);
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0) << "bytes remain: still signalled";
  EXPECT_EQ(dev.ReadByte(), 3);
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT) << "the read that empties the ring resets it";

  dev.SetNotify(nullptr, 0, 1);  // no window: the event alone
  dev.feed({'c'});
  EXPECT_EQ(WaitForSingleObject(ready, 2000), WAIT_OBJECT_0);
  EXPECT_EQ(queue.size(), 0u);
}

// Loopback and stuffed bytes share one queue, in order, synchronous and overlapped.
class LoopbackTest : public DeviceTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Modes, LoopbackTest, ::testing::Values(0, 3));

TEST_P(LoopbackTest, WritesAndStuffedBytesComeBackInOrderLoggedOnceAndOutliveAClose) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevNull dev;
  rec.attach(dev);
  dev.Loopback(true);
  ASSERT_TRUE(dev.Stuff(data("12"), 2)) << "stuffing before the open";
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  EXPECT_EQ(readBytes(dev, 2, 2000), bytesOf("12"));
  ASSERT_TRUE(dev.WriteBuffer(data("abc"), 3));
  EXPECT_EQ(readBytes(dev, 3, 2000), bytesOf("abc"));
  ASSERT_TRUE(dev.WriteBuffer(data("de"), 2));
  ASSERT_TRUE(dev.Stuff(data("fg"), 2));
  EXPECT_EQ(readBytes(dev, 4, 2000).size(), 4u);
  EXPECT_EQ(rec.bytes(LOG_TX), bytesOf("abcde"));
  EXPECT_EQ(rec.bytes(LOG_RX).size(), 9u);

  dev.CloseDevice();
  ASSERT_TRUE(dev.Stuff(data("kept"), 4));
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  EXPECT_EQ(readBytes(dev, 4, 2000), bytesOf("kept"));
}

TEST_P(LoopbackTest, WithLoopbackOffWritesVanishAndAStuffedBlockArrivesInReadsOfAtMost1024) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevNull dev;
  rec.attach(dev);
  std::vector<unsigned char> block = zortest::pattern(3000);
  ASSERT_TRUE(dev.Stuff(block.data(), static_cast<int>(block.size())));
  dev.Loopback(false);
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 8192, 1024));
  ASSERT_TRUE(dev.WriteBuffer(data("lost"), 4));
  EXPECT_EQ(readBytes(dev, block.size(), 3000), block);
  for (auto& r : rec.records())
    if (r.kind == LOG_RX) {
      EXPECT_LE(r.size, 1024u);
    }
  dev.Commit();
  EXPECT_FALSE(dev.TXQueue());
  EXPECT_TRUE(readBytes(dev, 1, 100).empty());
  EXPECT_TRUE(dev.Stuff(block.data(), 0));
  EXPECT_TRUE(dev.Stuff(nullptr, -1));
}

// A medium that delivers far more than the receive ring holds, and an
// application that reads a little at a time: the medium keeps what does not
// fit, so every byte arrives once and in order and the ring never overruns.
TEST_F(DeviceTest, AFullReceiveRingHoldsTheMediumBackSoASlowReaderLosesNothing) {
  const std::string log = zortest::scratchFolder("fullring") + "/burst.txt";
  const auto burst = zortest::pattern(16 * 1024);  // sixteen rings of 1024
  std::string rows;
  for (std::size_t at = 0; at < burst.size(); at += 4096)
    addLogRecord(rows, 2, 0,
                 std::vector<unsigned char>(burst.begin() + static_cast<long>(at),
                                            burst.begin() + static_cast<long>(at + 4096)));
  zortest::writeText(log, rows);
  settings->m_truePlayback = true;
  for (int granularity : {0, 2})
    for (int flags : {0, 3})
      for (bool playback : {false, true}) {
        SCOPED_TRACE(testing::Message() << "granularity " << granularity << ", flags " << flags
                                        << (playback ? ", playback" : ", loopback"));
        settings->m_threadGranularity = granularity;
        LogRecorder rec;  // outlives the device that logs into it
        std::unique_ptr<CDevice> dev;
        if (playback) {
          auto pb = std::make_unique<CDevPlayback>(log.c_str());
          ASSERT_TRUE(pb->OpenDevice(flags, 1024, 1024));
          dev = std::move(pb);
        } else {
          auto loop = std::make_unique<CDevNull>();
          ASSERT_TRUE(loop->OpenDevice(flags, 1024, 1024));
          loop->Stuff(burst.data(), static_cast<int>(burst.size()));
          dev = std::move(loop);
        }
        rec.attach(*dev);
        ASSERT_TRUE(waitUntil([&] { return dev->GetRxBufferCount() == 1023; }, 3000)) << "the ring fills";
        EXPECT_TRUE(readSlowly(*dev, burst.size(), 100, 1, 10000) == burst);
        EXPECT_EQ(rec.countEvent(IDS_RX_OVERRUN), 0u);
        EXPECT_EQ(dev->GetRxOverrunCount(), 0u);
        dev->CloseDevice();
      }

  // A ring that cannot hold a byte loses each one, and the loss is counted.
  LogRecorder rec;
  CDevNull tiny;
  rec.attach(tiny);
  ASSERT_TRUE(tiny.OpenDevice(0, 1, 1024));
  tiny.Stuff(data("abc"), 3);
  EXPECT_TRUE(rec.waitForEvent(IDS_RX_OVERRUN, 3000));
  EXPECT_TRUE(waitUntil([&] { return tiny.GetRxOverrunCount() == rec.countEvent(IDS_RX_OVERRUN); }, 3000));
  EXPECT_FALSE(tiny.RXQueue());
}
