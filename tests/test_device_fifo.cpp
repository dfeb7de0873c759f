// A device on a real handle: a FIFO opened for reading and writing is a
// loopback through the kernel, driven by the overlapped engine and the reactor.
#include <gtest/gtest.h>

#include "support/recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

using namespace zor;
using namespace zor_test;

namespace {

class FifoDevice : public CDevice {
public:
  FifoDevice() { constructor(); }
  ~FifoDevice() override { destroyer(); }
  zorType Type() const override { return ZOR_NULL; }
  bool OpenDevice(const std::string& path, int flags, unsigned long* error) {
    return openDevice(path.c_str(), nullptr, flags, 8192, 8192, error);
  }

protected:
  int GetIOSize(int) const override { return 1024; }
};

class FifoTest : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioTimeout = 30;
    theApp.m_ioWriteTimeout = 2000;
    char dir[] = "/tmp/zor-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
    m_path = m_dir + "/line";
    ASSERT_EQ(mkfifo(m_path.c_str(), 0600), 0);
  }
  void TearDown() override {
    unlink(m_path.c_str());
    rmdir(m_dir.c_str());
  }
  SettingsScope settings;
  std::string m_dir, m_path;
};

}  // namespace

TEST_F(FifoTest, BytesGoOutAndComeBackThroughTheKernel) {
  LogRecorder rec;
  FifoDevice dev;
  rec.attach(dev);
  unsigned long error = 0;
  ASSERT_TRUE(dev.OpenDevice(m_path, 3, &error)) << "error " << error;
  std::vector<unsigned char> block(5000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 13);
  ASSERT_TRUE(dev.WriteBuffer(block.data(), block.size()));
  EXPECT_EQ(readBytes(dev, block.size(), 5000), block);
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
}

TEST_F(FifoTest, IdleReadsAreCancelledAndRestartedWithoutPanic) {
  LogRecorder rec;
  FifoDevice dev;
  rec.attach(dev);
  unsigned long error = 0;
  ASSERT_TRUE(dev.OpenDevice(m_path, 1, &error));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several I/O time-outs pass
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("late"), 4));
  EXPECT_EQ(readBytes(dev, 4, 3000), (std::vector<unsigned char>{'l', 'a', 't', 'e'}));
}

TEST_F(FifoTest, CloseEndsAPendingReadAndLeavesNoDescriptor) {
  int fds = fdCount();
  {
    FifoDevice dev;
    unsigned long error = 0;
    ASSERT_TRUE(dev.OpenDevice(m_path, 3, &error));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(dev.CloseDevice());
    EXPECT_FALSE(dev.IsDeviceOpen());
  }
  EXPECT_LE(fdCount(), fds + 2) << "the reactor may hold its own two descriptors";
}

TEST_F(FifoTest, MissingPathFailsWithTheSystemError) {
  FifoDevice dev;
  unsigned long error = 0;
  EXPECT_FALSE(dev.OpenDevice(m_dir + "/absent", 0, &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_FALSE(dev.DeviceExist((m_dir + "/absent").c_str()));
  EXPECT_TRUE(dev.DeviceExist(m_path.c_str()));
}
