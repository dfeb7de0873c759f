// The terminal's raw file transfers through a device, without a window.
#include <gtest/gtest.h>

#include <zor/host.h>
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace zor;
using namespace zortest;
using zor_test::readBytes;

namespace {

class Progress : public CTransferProgress {
public:
  void SetProgress(unsigned long long sent, unsigned long long total) override {
    EXPECT_LE(sent, total);
    EXPECT_GE(sent, this->sent) << "the bytes that left the ring went back";
    this->sent = sent;
    this->total = total;
    ++updates;
  }
  void SetReceived(unsigned long long count) override { received = count; }
  bool IsCancelled() override { return cancel(); }
  void HandleEvents() override { ++events; }

  std::function<bool()> cancel = [] { return false; };
  unsigned long long sent = 0, total = ~0ull, received = 0;
  int updates = 0, events = 0;
};

class FileTransfer : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_threadGranularity = 0;
    echo.Loopback(true);
  }
  void TearDown() override { echo.CloseDevice(); }
  std::string file(const char* name) const { return env.path(name); }

  zor_test::TestEnv env;
  zor_test::SettingsScope settings;
  CDevNull echo;
};

}  // namespace

TEST_F(FileTransfer, SendFeedsAFullRingInItsRoomAndTheWholeFileComesBack) {
  // A ring of 65 bytes has room for 64 at a time: the file goes in 64-byte blocks.
  ASSERT_TRUE(echo.OpenDevice(0, 1 << 20, 65));
  auto data = pattern(1 << 20, 9);
  writeFileBytes(file("out.bin"), data);
  std::vector<unsigned char> back;
  std::thread reader([&] { back = readBytes(echo, data.size(), 30000); });
  Progress progress;
  EXPECT_TRUE(SendFile(echo, file("out.bin").c_str(), progress));
  reader.join();
  EXPECT_EQ(back, data);
  EXPECT_EQ(progress.total, data.size());
  EXPECT_EQ(progress.sent, data.size()) << "100% once the ring drained";
  EXPECT_GT(progress.events, 0) << "the window was never given its events";

  Progress empty;
  writeFileBytes(file("empty.bin"), {});
  EXPECT_TRUE(SendFile(echo, file("empty.bin").c_str(), empty));
  EXPECT_EQ(empty.total, 0u);
  EXPECT_EQ(empty.sent, 0u);
  ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
  Progress none;
  EXPECT_FALSE(SendFile(echo, file("fifo").c_str(), none)) << "a FIFO has no end to send";
  EXPECT_FALSE(SendFile(echo, file("missing.bin").c_str(), none));
}

TEST_F(FileTransfer, AbortOfAStalledSendFlushesTheRingsAndReportsTheLastWrite) {
  // A pty whose far end reads nothing stalls the transmission once its buffer is full.
  PtyPair line;
  ASSERT_TRUE(line.ok());
  ASSERT_TRUE(linkComPort(portNumber(), line.path()));
  CDevRS232 port;
  port.DeviceProgram(false, 115200, 'N', 8, 0);
  ASSERT_TRUE(port.OpenDevice(portNumber(), 0, 8192, 8192));
  writeFileBytes(file("big.bin"), pattern(4 << 20));
  Progress progress;
  auto start = std::chrono::steady_clock::now();
  progress.cancel = [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(1); };
  EXPECT_TRUE(SendFile(port, file("big.bin").c_str(), progress)) << "the writes before the abort succeeded";
  EXPECT_LT(progress.sent, progress.total);
  EXPECT_EQ(port.GetTxBufferCount(), 0u) << "an abort flushes";
  port.CloseDevice();
  unlinkComPort(portNumber());
}

TEST_F(FileTransfer, ReceiveWritesWhatCameUntilCloseAndWhatWasWaitingAtClose) {
  ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
  auto data = pattern(5000, 4);
  ASSERT_TRUE(echo.WriteBuffer(data.data(), static_cast<unsigned long>(data.size())));
  ASSERT_TRUE(waitUntil([&] { return echo.GetRxBufferCount() == data.size(); }, 5000));
  Progress atOnce;
  atOnce.cancel = [] { return true; };
  EXPECT_TRUE(ReceiveFile(echo, file("in.bin").c_str(), atOnce));
  EXPECT_EQ(waitFileBytes(file("in.bin"), data.size(), 0), data) << "bytes waiting at the close were lost";
  EXPECT_EQ(atOnce.received, data.size());

  // A silent device: the wait costs no CPU and the close is seen.
  Progress silent;
  auto start = std::chrono::steady_clock::now();
  silent.cancel = [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300); };
  long cpu = processCpuMs();
  EXPECT_TRUE(ReceiveFile(echo, file("silent.bin").c_str(), silent));
  EXPECT_LT(processCpuMs() - cpu, 150) << "the receive loop spins while nothing comes";
  EXPECT_EQ(silent.received, 0u);

  Progress full;
  ASSERT_TRUE(echo.WriteBuffer(data.data(), 100));
  full.cancel = [&] { return full.events > 20; };
  EXPECT_FALSE(ReceiveFile(echo, "/dev/full", full)) << "a write that failed is no success";
  EXPECT_FALSE(ReceiveFile(echo, file("no/such/folder.bin").c_str(), full));
}
