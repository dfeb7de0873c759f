// The loopback device end to end: the whole byte path without hardware.
#include <gtest/gtest.h>

#include "support/recorder.h"

#include <cstring>

using namespace zor;
using namespace zor_test;

namespace {

class LoopbackTest : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 2000;
  }
  SettingsScope settings;
};

std::vector<unsigned char> bytesOf(const char* s) { return {s, s + std::strlen(s)}; }

}  // namespace

// Every case runs synchronous and overlapped.
INSTANTIATE_TEST_SUITE_P(Modes, LoopbackTest, ::testing::Values(0, 3));

TEST_P(LoopbackTest, WrittenBytesComeBackInOrderAndAreLoggedOnce) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevNull dev;
  rec.attach(dev);
  dev.Loopback(true);
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("abc"), 3));
  EXPECT_EQ(readBytes(dev, 3, 2000), bytesOf("abc"));
  EXPECT_EQ(rec.bytes(LOG_TX), bytesOf("abc"));
  EXPECT_EQ(rec.bytes(LOG_RX), bytesOf("abc"));
}

TEST_P(LoopbackTest, WithLoopbackOffWritesVanish) {
  CDevNull dev;
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("abc"), 3));
  dev.Commit();
  EXPECT_FALSE(dev.TXQueue());
  EXPECT_TRUE(readBytes(dev, 1, 100).empty());
}

TEST_P(LoopbackTest, StuffedBlockArrivesInOrderInReadsOfAtMost1024) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevNull dev;
  rec.attach(dev);
  std::vector<unsigned char> block(3000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i % 251);
  ASSERT_TRUE(dev.Stuff(block.data(), static_cast<int>(block.size()))) << "stuffing before the open";
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 8192, 1024));
  EXPECT_EQ(readBytes(dev, block.size(), 3000), block);
  for (auto& r : rec.records()) {
    if (r.kind == LOG_RX) {
      EXPECT_LE(r.size, 1024u);
    }
  }
  EXPECT_TRUE(dev.Stuff(block.data(), 0));
  EXPECT_TRUE(dev.Stuff(nullptr, -1));
}

TEST_P(LoopbackTest, QueueOutlivesCloseAndStuffSharesItWithLoopback) {
  CDevNull dev;
  dev.Loopback(true);
  ASSERT_TRUE(dev.Stuff(reinterpret_cast<const unsigned char*>("12"), 2));
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  EXPECT_EQ(readBytes(dev, 2, 2000), bytesOf("12"));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("ab"), 2));
  ASSERT_TRUE(dev.Stuff(reinterpret_cast<const unsigned char*>("cd"), 2));
  EXPECT_EQ(readBytes(dev, 4, 2000).size(), 4u);

  dev.CloseDevice();
  ASSERT_TRUE(dev.Stuff(reinterpret_cast<const unsigned char*>("kept"), 4));
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  EXPECT_EQ(readBytes(dev, 4, 2000), bytesOf("kept"));
}

TEST_P(LoopbackTest, SwitchingLoopbackOffKeepsWhatIsQueued) {
  CDevNull dev;
  ASSERT_TRUE(dev.Stuff(reinterpret_cast<const unsigned char*>("queued"), 6));
  dev.Loopback(false);
  ASSERT_TRUE(dev.OpenDevice(GetParam(), 1024, 1024));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("lost"), 4));
  EXPECT_EQ(readBytes(dev, 6, 2000), bytesOf("queued"));
  dev.Commit();
  EXPECT_TRUE(readBytes(dev, 1, 100).empty());
}
