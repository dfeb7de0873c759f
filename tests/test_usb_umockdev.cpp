// The USB device against emulated instruments (usbfs nodes in a umockdev test
// bed): the test plays the kernel's side of each device, answering libusb's
// URB submits, reaps and cancels, claims and halt clears. An instrument echoes
// what it receives on its bulk OUT endpoint on its bulk IN endpoint; the test
// can make it stall, fall silent or vanish. Runs only under umockdev's preload
// (its own ctest entry).
#include <zor/host.h>
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/usb_blocks.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV
#include "zor/devices/usbconfig.h"
#include "zor/support/support.h"

#include <umockdev.h>

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using namespace zor_test;

namespace {

bool preloaded() {
  const char* p = std::getenv("LD_PRELOAD");
  return p != nullptr && std::strstr(p, "umockdev-preload") != nullptr;
}

std::string hex(const Block& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// The device side of one instrument, as its usbfs node answers.
struct Instrument {
  // What the test sets.
  bool claimedElsewhere = false;
  bool stallNextOut = false;  // the next OUT transfer stalls, once
  bool silent = false;        // takes nothing on OUT, sends nothing on IN
  bool gone = false;          // unplugged: every request fails, transfers end with ENODEV
  // What the test reads.
  int clearHalts = 0;
  std::size_t bytesIn = 0;      // reached the instrument on OUT
  std::vector<int> inRequests;  // buffer lengths of the first IN transfers
  std::size_t flying() const { return in.size() + out.size(); }

  unsigned packet = 64;
  std::deque<Block> packets;  // to send on IN
  std::vector<UMockdevIoctlData*> in, out;
  std::deque<UMockdevIoctlData*> reap;
};

class EmulatedInstruments {
public:
  // Device k on port 1-(k+1), each with its configuration block.
  explicit EmulatedInstruments(const std::vector<Block>& configs) {
    m_bed = umockdev_testbed_new();
    for (std::size_t k = 0; k < configs.size(); ++k) {
      auto inst = std::make_unique<Instrument>();
      int rx = 64, tx = 64;
      usbTransferSizes(configs[k].data(), configs[k].size(), rx, tx);
      inst->packet = static_cast<unsigned>(rx);
      m_devices.push_back(std::move(inst));
    }
    for (std::size_t k = 0; k < configs.size(); ++k) {
      std::string addr = std::to_string(k + 2);
      std::string node = "/dev/bus/usb/001/00" + addr;
      auto* handler = umockdev_ioctl_base_new();
      m_bindings.push_back({this, m_devices[k].get()});
      g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&EmulatedInstruments::onIoctl),
                       &m_bindings.back());
      GError* error = nullptr;
      if (!umockdev_testbed_attach_ioctl(m_bed, node.c_str(), handler, &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
      }
      m_handlers.push_back(handler);
      m_nodes.push_back(node);
      Block device = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x34, 0x12, 0x01, 0xAB, 0, 1, 1, 2, 3, 1};
      Block all = device;
      all.insert(all.end(), configs[k].begin(), configs[k].end());
      std::string text = "P: /devices/pci0000:00/usb1/1-" + std::to_string(k + 1) + "\nN: bus/usb/001/00" +
                         addr + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=00" +
                         addr + "\nE: DEVNAME=" + node + "\nA: busnum=1\\n\nA: devnum=" + addr +
                         "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + hex(all) +
                         "\n";
      if (!umockdev_testbed_add_from_string(m_bed, text.c_str(), &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
      }
    }
  }
  ~EmulatedInstruments() {
    for (std::size_t k = 0; k < m_handlers.size(); ++k) {
      umockdev_testbed_detach_ioctl(m_bed, m_nodes[k].c_str(), nullptr);
      g_object_unref(m_handlers[k]);
    }
    std::lock_guard lock(m_mutex);
    for (auto& d : m_devices) {
      for (auto* list : {&d->in, &d->out})
        for (auto* u : *list) umockdev_ioctl_data_unref(u);
      for (auto* u : d->reap) umockdev_ioctl_data_unref(u);
    }
    g_object_unref(m_bed);
  }

  template <class F>
  void change(std::size_t k, F f) {
    std::lock_guard lock(m_mutex);
    Instrument& d = *m_devices[k];
    f(d);
    if (d.gone) {
      // Unplugged: what was in flight ends as the kernel ends it.
      for (auto* list : {&d.in, &d.out}) {
        for (auto* u : *list) finish(d, u, -ENODEV, 0);
        list->clear();
      }
    }
    pump(d);
  }
  Instrument state(std::size_t k) {
    std::lock_guard lock(m_mutex);
    Instrument copy;
    const Instrument& d = *m_devices[k];
    copy.clearHalts = d.clearHalts;
    copy.bytesIn = d.bytesIn;
    copy.inRequests = d.inRequests;
    copy.in.resize(d.in.size());
    copy.out.resize(d.out.size());
    return copy;
  }
  // The instrument sends one packet of its own.
  void send(std::size_t k, Block packet) {
    change(k, [&](Instrument& d) { d.packets.push_back(std::move(packet)); });
  }

private:
  struct Binding {
    EmulatedInstruments* self;
    Instrument* device;
  };

  static usbdevfs_urb* urbOf(UMockdevIoctlData* u) { return reinterpret_cast<usbdevfs_urb*>(u->data); }

  void finish(Instrument& d, UMockdevIoctlData* u, int status, int actual) {
    urbOf(u)->status = status;
    urbOf(u)->actual_length = actual;
    d.reap.push_back(u);
  }

  // Completes IN transfers with the packets there: each ends at a short packet or when full.
  void pump(Instrument& d) {
    while (!d.silent && !d.gone && !d.in.empty() && !d.packets.empty()) {
      UMockdevIoctlData* u = d.in.front();
      d.in.erase(d.in.begin());
      usbdevfs_urb* urb = urbOf(u);
      auto* dst = static_cast<unsigned char*>(urb->buffer);
      int filled = 0, status = 0;
      while (!d.packets.empty()) {
        Block& p = d.packets.front();
        int room = urb->buffer_length - filled;
        if (static_cast<int>(p.size()) > room) {
          std::memcpy(dst + filled, p.data(), static_cast<std::size_t>(room));
          filled += room;
          status = -EOVERFLOW;  // babble: the packet did not fit
          d.packets.pop_front();
          break;
        }
        std::memcpy(dst + filled, p.data(), p.size());
        filled += static_cast<int>(p.size());
        bool shortPacket = p.size() < d.packet;
        d.packets.pop_front();
        if (shortPacket || filled == urb->buffer_length) break;
      }
      finish(d, u, status, filled);
    }
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer binding) {
    auto* b = static_cast<Binding*>(binding);
    std::lock_guard lock(b->self->m_mutex);
    b->self->handle(*b->device, client);
    return TRUE;
  }

  void handle(Instrument& d, UMockdevIoctlClient* client) {
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    int error = 0;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_data_unref(caps);
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
        error = d.gone ? ENODEV : d.claimedElsewhere ? EBUSY : 0;
        break;
      case USBDEVFS_RELEASEINTERFACE:
        error = d.gone ? ENODEV : 0;
        break;
      case USBDEVFS_CLEAR_HALT:
        ++d.clearHalts;
        error = d.gone ? ENODEV : 0;
        break;
      case USBDEVFS_SUBMITURB: {
        if (d.gone) {
          error = ENODEV;
          break;
        }
        UMockdevIoctlData* u = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(u, offsetof(usbdevfs_urb, buffer), urbOf(u)->buffer_length, nullptr);
        usbdevfs_urb* urb = urbOf(u);
        umockdev_ioctl_data_ref(u);
        if (urb->endpoint & 0x80) {
          if (d.inRequests.size() < 16) d.inRequests.push_back(urb->buffer_length);
          d.in.push_back(u);
        } else if (d.stallNextOut) {
          d.stallNextOut = false;
          finish(d, u, -EPIPE, 0);
        } else if (d.silent) {
          d.out.push_back(u);
        } else {
          auto* src = static_cast<const unsigned char*>(urb->buffer);
          for (int at = 0; at < urb->buffer_length; at += static_cast<int>(d.packet)) {
            int n = std::min(urb->buffer_length - at, static_cast<int>(d.packet));
            d.packets.emplace_back(src + at, src + at + n);
          }
          d.bytesIn += static_cast<std::size_t>(urb->buffer_length);
          finish(d, u, 0, urb->buffer_length);
        }
        if (data != nullptr) umockdev_ioctl_data_unref(data);
        umockdev_ioctl_data_unref(u);
        pump(d);
        break;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        if (d.reap.empty()) {
          error = d.gone ? ENODEV : EAGAIN;
          break;
        }
        UMockdevIoctlData* u = d.reap.front();
        d.reap.pop_front();
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(ptr, 0, u);
        umockdev_ioctl_data_unref(ptr);
        umockdev_ioctl_data_unref(u);
        break;
      }
      case USBDEVFS_DISCARDURB: {
        auto addr = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
        error = EINVAL;
        for (auto* list : {&d.in, &d.out}) {
          auto it = std::find_if(list->begin(), list->end(), [&](auto* u) { return u->client_addr == addr; });
          if (it == list->end()) continue;
          finish(d, *it, -ENOENT, 0);
          list->erase(it);
          error = 0;
          break;
        }
        break;
      }
      default:
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
  }

  UMockdevTestbed* m_bed = nullptr;
  std::vector<UMockdevIoctlBase*> m_handlers;
  std::vector<std::string> m_nodes;
  std::vector<std::unique_ptr<Instrument>> m_devices;
  std::deque<Binding> m_bindings;
  std::mutex m_mutex;
};

class EmulatedUsb : public ::testing::Test {
protected:
  void SetUp() override {
    if (!preloaded()) GTEST_SKIP() << "needs umockdev's preload (the usb_umockdev test entry)";
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
      EXPECT_TRUE(dev.CloseDevice());
      EXPECT_EQ(bed->state(0).out.size() + bed->state(0).in.size(), 0u);
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
  dev.CloseDevice();
  EXPECT_EQ(dev.DumpUSBConfig().size(), 2u) << "a closed device's request fails";
}

}  // namespace

#else

TEST(EmulatedUsb, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
