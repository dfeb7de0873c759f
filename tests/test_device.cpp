// Device lifecycle, the byte-stream calls, logging and notification.
#include <gtest/gtest.h>

#include "support/recorder.h"
#include "support/testdevice.h"

#include <thread>

using namespace zor;
using namespace zor_test;

namespace {

class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_ioWriteTimeout = 300;
    theApp.m_threadGranularity = 2;
  }
  SettingsScope settings;
};

std::vector<unsigned char> pattern(std::size_t n, unsigned char seed = 0) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 7);
  return v;
}

}  // namespace

TEST_F(DeviceTest, OpenCloseAndReopenWithNewSizes) {
  CDevNull dev;
  EXPECT_TRUE(dev.CloseDevice());  // never opened: nothing to do
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_EQ(dev.DataReadyEvent(), nullptr);

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
}

TEST_F(DeviceTest, SizesBelowOneFailAndLeaveTheDeviceClosed) {
  CDevNull dev;
  EXPECT_FALSE(dev.OpenDevice(0, 0, 1024));
  EXPECT_FALSE(dev.OpenDevice(0, 1024, -5));
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_FALSE(dev.WriteByte('x')) << "no TX storage: the write times out";
  EXPECT_EQ(dev.ReadByte(), 0);
}

TEST_F(DeviceTest, OneHandleRunsBothDirectionsOverlapped) {
  for (int flags : {1, 2, 3}) {
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice(flags, 1024, 1024));
    EXPECT_EQ(dev.flags(), 3) << "flags " << flags;
    dev.feed({'o', 'k'});
    EXPECT_EQ(readBytes(dev, 2, 2000), (std::vector<unsigned char>{'o', 'k'}));
  }
  TestDevice plain;
  ASSERT_TRUE(plain.OpenDevice(0, 1024, 1024));
  EXPECT_EQ(plain.flags(), 0);
}

TEST_F(DeviceTest, WriteSpaceEdges) {
  TestDevice dev;
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.GetTxBufferCount() == 0; }, 2000)) << "the XON of the open went out";
  // Hold transmission with an XOFF so that the TX ring keeps what is written.
  dev.feed({kXoff});
  ASSERT_TRUE(waitUntil([&] { return !dev.TxReady(); }, 2000));

  EXPECT_EQ(dev.GetMaxTransferSize(), 1023u);
  EXPECT_TRUE(dev.WriteBuffer(nullptr, 0)) << "n = 0 queues nothing";
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  std::vector<unsigned char> block = pattern(1024);
  EXPECT_FALSE(dev.WriteBuffer(block.data(), 1024)) << "1024 bytes never fit a 1024 ring";
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  EXPECT_TRUE(dev.WriteBuffer(block.data(), 1023));
  EXPECT_EQ(dev.GetTxBufferCount(), 1023u);
  EXPECT_EQ(dev.GetMaxTransferSize(), 0u);
  EXPECT_FALSE(dev.WriteByte('x')) << "full: times out, queues nothing";
  EXPECT_EQ(dev.GetTxBufferCount(), 1023u);
  EXPECT_TRUE(dev.TXQueue());

  dev.feed({kXon});  // XON: the ring drains
  theApp.m_ioWriteTimeout = 3000;
  dev.Commit();
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  ASSERT_TRUE(waitUntil([&] { return dev.written().size() >= 1024; }, 3000));
  auto out = dev.written();
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 1023, out.end() - 1023));
}

TEST_F(DeviceTest, ReadsAndTheDataReadyEvent) {
  TestDevice dev;
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  HANDLE ready = dev.DataReadyEvent();
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(dev.RXQueue());
  EXPECT_EQ(dev.PollByte(), 0);

  dev.feed({1, 2, 3, 4});
  ASSERT_EQ(WaitForSingleObject(ready, 2000), WAIT_OBJECT_0);
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 4; }, 2000));

  unsigned char buf[8];
  EXPECT_EQ(dev.ReadBuffer(buf, 0), 0u) << "max 0 moves nothing";
  EXPECT_EQ(dev.GetRxBufferCount(), 4u);
  EXPECT_EQ(dev.PollByte(), 1);
  EXPECT_EQ(dev.GetRxBufferCount(), 4u) << "PollByte leaves the byte";
  EXPECT_EQ(dev.ReadBuffer(buf, 2), 2u);
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0) << "bytes remain: still signalled";
  EXPECT_EQ(dev.ReadByte(), 3);
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0);
  EXPECT_EQ(dev.ReadByte(), 4);
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT) << "the read that empties the ring resets it";
}

TEST_F(DeviceTest, FlushDiscardsOnlyWhatIsAskedAndLogsOnce) {
  LogRecorder rec;  // outlives the device that logs into it
  TestDevice dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  ASSERT_TRUE(waitUntil([&] { return dev.GetTxBufferCount() == 0; }, 2000));
  dev.feed({kXoff, 'a', 'b'});  // XOFF holds our transmission
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 2; }, 2000));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("xyz"), 3));

  dev.Flush(true, false);
  EXPECT_EQ(dev.GetRxBufferCount(), 0u);
  EXPECT_EQ(dev.GetTxBufferCount(), 3u);
  dev.Flush(false, true);
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  dev.Flush(false, false);
  EXPECT_EQ(rec.countEvent(IDS_BUFFERS_FLUSHED), 3u);
  dev.Commit();  // nothing queued: returns at once
  EXPECT_FALSE(dev.TXQueue());
}

TEST_F(DeviceTest, TwoWritersAtOnceLoseNothing) {
  CDevNull dev;
  dev.Loopback(true);
  ASSERT_TRUE(dev.OpenDevice(0, 8192, 64));  // a small TX ring makes the writers meet
  theApp.m_ioWriteTimeout = 5000;
  constexpr int kChunks = 200, kChunk = 10;
  auto writer = [&](unsigned char tag) {
    for (int i = 0; i < kChunks; ++i) {
      unsigned char chunk[kChunk];
      for (int j = 0; j < kChunk; ++j) chunk[j] = static_cast<unsigned char>(tag | (i & 0x3F));
      ASSERT_TRUE(dev.WriteBuffer(chunk, kChunk));
    }
  };
  std::thread a(writer, 0x00), b(writer, 0x80);
  auto got = readBytes(dev, 2 * kChunks * kChunk, 20000);
  a.join();
  b.join();
  ASSERT_EQ(got.size(), 2u * kChunks * kChunk);
  // Each writer's bytes arrive complete and in its own order.
  for (unsigned char tag : {0x00, 0x80}) {
    int expected = 0, seen = 0;
    for (unsigned char c : got) {
      if ((c & 0x80) != tag) continue;
      EXPECT_EQ(c & 0x3F, (expected / kChunk) & 0x3F);
      ++expected;
      ++seen;
    }
    EXPECT_EQ(seen, kChunks * kChunk);
  }
}

TEST_F(DeviceTest, LoggerInstallReplaceUninstall) {
  LogRecorder first, second;  // outlives the device that logs into it
  CDevNull dev;
  first.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  dev.Flush(false, false);
  second.attach(dev);
  dev.Flush(false, false);
  dev.InstallLogger(nullptr, 0);
  dev.Flush(false, false);
  dev.Flush(false, false);
  EXPECT_EQ(first.countEvent(IDS_BUFFERS_FLUSHED), 1u);
  EXPECT_EQ(second.countEvent(IDS_BUFFERS_FLUSHED), 1u);
  dev.InstallLogger(nullptr, 0);  // nothing installed: nothing happens
}

TEST_F(DeviceTest, NotificationHonoursTheThreshold) {
  MessageQueue queue;  // outlives the device that posts to it
  TestDevice dev;
  dev.SetNotify(&queue, 0x8001, 10);
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  HANDLE ready = dev.DataReadyEvent();

  dev.feed(std::vector<unsigned char>(9, 'a'));
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 9; }, 2000));
  EXPECT_EQ(queue.size(), 0u) << "9 is below the threshold";
  EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT);

  dev.feed(std::vector<unsigned char>(3, 'b'));
  MSG msg;
  ASSERT_TRUE(queue.get(msg, 2000));
  EXPECT_EQ(msg.message, 0x8001u);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 12);
  EXPECT_EQ(WaitForSingleObject(ready, 2000), WAIT_OBJECT_0) << "signalled right after the post";

  dev.SetNotify(nullptr, 0, 1);  // no window: the event alone
  dev.feed({'c'});
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 13; }, 2000));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(DeviceTest, NoThreadOutlivesCloseOrDestruction) {
  theApp.m_panicResume = false;  // no resumer: the count is the two workers
  int before = threadCount();
  {
    CDevNull dev;
    ASSERT_TRUE(dev.OpenDevice(3, 1024, 1024));
    EXPECT_GE(threadCount(), before + 2);
    dev.CloseDevice();
    EXPECT_LE(threadCount(), before + 1) << "a reactor thread may have started once";
    ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));
  }
  EXPECT_LE(threadCount(), before + 1);
}
