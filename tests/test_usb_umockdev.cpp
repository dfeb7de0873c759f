// The USB device against emulated instruments (support/usb_instruments.h).
// Runs only under umockdev's preload (its own ctest entry).
#include <zor/host.h>
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/usb_blocks.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV
#include "support/usb_instruments.h"
#include "zor/devices/usbconfig.h"
#include "zor/support/support.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

using namespace zor;
using namespace zor_test;

namespace {

class EmulatedUsb : public ::testing::Test {
protected:
  void SetUp() override {
    if (!umockdevPreloaded()) GTEST_SKIP() << "needs umockdev's preload (the usb_umockdev test entry)";
    settings->m_autoresumeTimer = 30;
    CIni ini;
    ini.WriteString("ZOR.DLL", "USB Devices", "1234:ab01");
  }
  void plug(const std::vector<Block>& configs) { bed = std::make_unique<EmulatedInstruments>(configs); }

  TestEnv env;
  SettingsScope settings;
  std::unique_ptr<EmulatedInstruments> bed;
};

Block bytes(const char* s) { return Block(s, s + std::strlen(s)); }

bool echoes(CDevUSB& dev, const char* text) {
  Block b = bytes(text);
  return dev.WriteBuffer(b.data(), b.size()) && readBytes(dev, b.size(), 5000) == b;
}

TEST_F(EmulatedUsb, TheFirstInstrumentThatCanBeClaimedIsUsed) {
  plug({usbBulkPair(64), usbBulkPair(64)});
  bed->change(0, [](Instrument& d) { d.claimedElsewhere = true; });
  {
    CDevUSB dev;
    ASSERT_TRUE(dev.OpenDevice(0, 8192, 8192));
    EXPECT_TRUE(echoes(dev, "second"));
    EXPECT_EQ(bed->state(0).bytesIn, 0u);
    EXPECT_EQ(bed->state(1).bytesIn, 6u);
    // While this process holds it, the other is in use, too.
    CDevUSB other;
    EXPECT_FALSE(other.OpenDevice(0, 8192, 8192));
  }
  bed->change(1, [](Instrument& d) { d.claimedElsewhere = true; });
  CDevUSB none;
  EXPECT_FALSE(none.OpenDevice(0, 8192, 8192));
}

// Transfers take the endpoints' packet size, the last interface's deciding; a
// packet larger than the 64 bytes sized at construction arrives whole.
TEST_F(EmulatedUsb, TransfersAreSizedByTheEndpoints) {
  Block two = usbConfiguration(2, {usbInterface(0, 2), usbEndpoint(0x02, 64), usbEndpoint(0x81, 64),
                                   usbInterface(1, 2), usbEndpoint(0x03, 512), usbEndpoint(0x84, 512)});
  plug({usbBulkPair(64), usbBulkPair(512), two});
  for (std::size_t k : {0, 1, 2}) {
    for (std::size_t j = 0; j < 3; ++j) bed->change(j, [&](Instrument& d) { d.claimedElsewhere = j != k; });
    LogRecorder rec;
    CDevUSB dev;
    rec.attach(dev);
    ASSERT_TRUE(dev.OpenDevice(1, 8192, 8192)) << k;
    int size = k == 0 ? 64 : 512;
    Block packet(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) packet[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 7);
    bed->send(k, packet);
    EXPECT_EQ(readBytes(dev, packet.size(), 5000), packet) << k;
    auto requests = bed->state(k).inRequests;
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front(), size) << k;
    std::vector<unsigned long> chunks;
    for (const LogRecord& r : rec.records())
      if (r.kind == LOG_RX) chunks.push_back(r.size);
    EXPECT_EQ(chunks, (std::vector<unsigned long>{static_cast<unsigned long>(size)})) << k;
    dev.CloseDevice();
  }
}

struct EchoCase {
  int flags;
  long granularity;
};

class EmulatedUsbEcho : public EmulatedUsb, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(EmulatedUsbEcho, OneMebibyteComesBackWholeAndInOrder) {
  settings->m_threadGranularity = GetParam().granularity;
  plug({usbBulkPair(1024)});
  CDevUSB dev;
  ASSERT_TRUE(dev.OpenDevice(GetParam().flags, 8192, 8192));
  Block sent(1 << 20), got;
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
  // At most 4 KiB travel at once, so the receive ring can never overrun.
  Block buf(65536);
  std::size_t written = 0;
  for (int pass = 0; pass < 200000 && got.size() < sent.size(); ++pass) {
    if (written < sent.size() && written < got.size() + 4096) {
      std::size_t n = std::min<std::size_t>(1024, sent.size() - written);
      ASSERT_TRUE(dev.WriteBuffer(sent.data() + written, n));
      written += n;
      continue;
    }
    WaitForSingleObject(dev.DataReadyEvent(), 100);
    unsigned long n = dev.ReadBuffer(buf.data(), buf.size());
    got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(n));
  }
  ASSERT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent) << "bytes changed or out of order";
  EXPECT_TRUE(dev.CloseDevice());
}

INSTANTIATE_TEST_SUITE_P(SyncAndOverlapped, EmulatedUsbEcho,
                         ::testing::Values(EchoCase{0, 15}, EchoCase{3, 15}, EchoCase{0, 0}, EchoCase{3, 0}),
                         [](const auto& info) {
                           return std::string(info.param.flags ? "Overlapped" : "Sync") + "Granularity" +
                                  std::to_string(info.param.granularity);
                         });

TEST_F(EmulatedUsb, AStallIsClearedWithoutPanic) {
  plug({usbBulkPair(64)});
  for (int flags : {0, 3}) {
    LogRecorder rec;
    CDevUSB dev;
    rec.attach(dev);
    ASSERT_TRUE(dev.OpenDevice(flags, 8192, 8192));
    int halts = bed->state(0).clearHalts;
    bed->change(0, [](Instrument& d) { d.stallNextOut = true; });
    Block lost = bytes("lost");
    ASSERT_TRUE(dev.WriteBuffer(lost.data(), lost.size()));
    EXPECT_TRUE(waitUntil([&] { return bed->state(0).clearHalts > halts; }, 5000));
    EXPECT_TRUE(echoes(dev, "after the stall")) << flags;
    EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
    EXPECT_TRUE(dev.IsDeviceOpen());
  }
}

TEST_F(EmulatedUsb, AnUnpluggedInstrumentPanicsAndResumesOnItsPort) {
  plug({usbBulkPair(64)});
  for (int flags : {0, 3}) {
    LogRecorder rec;
    CDevUSB dev;
    rec.attach(dev);
    ASSERT_TRUE(dev.OpenDevice(flags, 8192, 8192));
    ASSERT_TRUE(echoes(dev, "before"));
    bed->change(0, [](Instrument& d) { d.gone = true; });
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 5000)) << flags;
    bed->change(0, [](Instrument& d) { d.gone = false; });
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 5000)) << flags;
    EXPECT_TRUE(echoes(dev, "after")) << flags;
    EXPECT_TRUE(dev.CloseDevice());
  }
}

// Transfers in flight both ways when the device closes: all end, and neither
// a thread nor a transfer is left behind.
TEST_F(EmulatedUsb, CloseEndsPendingTransfersAndLeavesNothingBehind) {
  plug({usbBulkPair(64)});
  for (int flags : {0, 3}) {
    int threads = threadCount();
    {
      CDevUSB dev;
      ASSERT_TRUE(dev.OpenDevice(flags, 8192, 8192));
      bed->change(0, [](Instrument& d) { d.silent = true; });
      Block b = bytes("nobody listens");
      ASSERT_TRUE(dev.WriteBuffer(b.data(), b.size()));
      EXPECT_TRUE(waitUntil([&] { return bed->state(0).out.size() == 1; }, 5000));
      EXPECT_TRUE(bed->state(0).claimed);
      EXPECT_TRUE(dev.CloseDevice());
      EXPECT_EQ(bed->state(0).out.size() + bed->state(0).in.size(), 0u);
      EXPECT_FALSE(bed->state(0).claimed) << "the close gives the instrument back for others to claim";
    }
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threads; }, 5000)) << threadCount() << " " << threads;
    bed->change(0, [](Instrument& d) { d.silent = false; });
  }
}

TEST_F(EmulatedUsb, TheConfigurationDumpAndTheListing) {
  plug({usbBulkPair(64), usbBulkPair(512)});
  CDevUSB dev;
  ASSERT_TRUE(dev.OpenDevice(0, 8192, 8192));
  auto lines = dev.DumpUSBConfig();
  ASSERT_EQ(lines.size(), 1u + 12 + 12 + 2 * 9);
  EXPECT_EQ(lines[0], "DeviceIoControl request completed, success = 1 nBytes = 32");
  EXPECT_EQ(lines[39], "bEndpointAddress= 0x81 (INPUT)");

  char name[] = "zor", mode[] = "usb", option[] = "--dump";
  char* argv[] = {name, mode, option};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runUsbMode(3, argv), 0);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("usb:1-1 1234:ab01 in use (/dev/bus/usb/001/002)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("usb:1-2 1234:ab01 free (/dev/bus/usb/001/003)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  wMaxPacketSize= 0x200, decimal 512\n"), std::string::npos) << out;
  // A dump while the device closes (another thread, as a window's command) is whole or fails whole.
  auto dumping = std::async(std::launch::async, [&] {
    for (int i = 0; i < 20; ++i)
      if (std::size_t n = dev.DumpUSBConfig().size(); n != 2 && n != lines.size()) return false;
    return true;
  });
  dev.CloseDevice();
  EXPECT_TRUE(dumping.get());
  EXPECT_EQ(dev.DumpUSBConfig().size(), 2u) << "a closed device's request fails";
}

}  // namespace

#else

TEST(EmulatedUsb, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
