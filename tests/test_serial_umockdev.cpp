// The serial device against an emulated USB serial adapter (/dev/ttyUSB0 in a
// umockdev test bed): the test plays the adapter's driver, answering its
// ioctls, so it controls CTS and DSR and sees every line change and the full
// termios request. Runs only under umockdev's preload (its own ctest entry).
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV
#include <umockdev.h>

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace zor;
using namespace zor_test;

namespace {

constexpr int kPort = 7;
constexpr const char* kNode = "/dev/ttyUSB0";

bool preloaded() {
  const char* p = std::getenv("LD_PRELOAD");
  return p != nullptr && std::strstr(p, "umockdev-preload") != nullptr;
}

// The adapter's driver as the test writes it.
class EmulatedAdapter {
public:
  // What the driver holds; the test drives the inputs and the error counts.
  struct State {
    termios2 tio{};
    int inputs = TIOCM_CTS | TIOCM_DSR;  // the modem lines the instrument drives
    int outputs = 0;                     // DTR and RTS, as the library set them
    serial_icounter_struct count{};
    std::vector<std::string> events;  // line changes, breaks and flushes, in order
    // Pulled out while the library holds its tty: as a disconnected USB
    // adapter's tty does, every call fails with EIO. (The test bed cannot add
    // a node twice, so plugging back in is the same node answering again.)
    bool gone = false;
  };

  EmulatedAdapter() {
    m_state.tio.c_cflag = BOTHER | CS8 | CREAD | HUPCL;
    m_state.tio.c_ispeed = m_state.tio.c_ospeed = 9600;
    m_state.tio.c_lflag = ICANON | ECHO;
    m_state.tio.c_oflag = OPOST;
    m_bed = umockdev_testbed_new();
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(m_bed,
                                         "P: /devices/pci0000:00/usb1/1-1/ttyUSB0\n"
                                         "N: ttyUSB0\n"
                                         "E: DEVNAME=/dev/ttyUSB0\n"
                                         "E: SUBSYSTEM=tty\n"
                                         "A: dev=188:0\n",
                                         &error)) {
      m_handler = umockdev_ioctl_base_new();
      g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedAdapter::onIoctl), this);
      g_signal_connect(m_handler, "handle-read", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
      g_signal_connect(m_handler, "handle-write", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
      if (!umockdev_testbed_attach_ioctl(m_bed, kNode, m_handler, &error)) {
        g_object_unref(m_handler);
        m_handler = nullptr;
      }
    }
    if (error != nullptr) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
    m_master = ok() ? umockdev_testbed_get_dev_fd(m_bed, kNode) : -1;
    if (m_master >= 0) fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  }
  ~EmulatedAdapter() {
    if (m_handler != nullptr) {
      umockdev_testbed_detach_ioctl(m_bed, kNode, nullptr);
      umockdev_testbed_remove_device(m_bed, "/sys/devices/pci0000:00/usb1/1-1/ttyUSB0");
      g_object_unref(m_handler);
    }
    g_object_unref(m_bed);
  }

  bool ok() const { return m_handler != nullptr; }
  State state() {
    std::lock_guard lock(m_mutex);
    return m_state;
  }
  template <class F>
  void change(F f) {
    std::lock_guard lock(m_mutex);
    f(m_state);
  }

  // Bytes the library sent, until count have come or ms have passed.
  std::string receive(std::size_t count, int ms) {
    std::string out;
    zor_test::waitUntil(
        [&] {
          char buf[256];
          ssize_t n = m_master >= 0 ? ::read(m_master, buf, sizeof buf) : -1;
          if (n > 0) out.append(buf, static_cast<std::size_t>(n));
          return out.size() >= count;
        },
        ms);
    return out;
  }

private:
  // Reads and writes go to the line itself until the adapter is pulled out.
  static gboolean onTransfer(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* me = static_cast<EmulatedAdapter*>(self);
    std::lock_guard lock(me->m_mutex);
    if (!me->m_state.gone) return FALSE;
    umockdev_ioctl_client_complete(client, -1, EIO);
    return TRUE;
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<EmulatedAdapter*>(self)->handle(client);
    return TRUE;
  }

  template <class T>
  T* argument(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    return data != nullptr ? reinterpret_cast<T*>(data->data) : nullptr;
  }

  void handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(m_mutex);
    State& s = m_state;
    unsigned long request = umockdev_ioctl_client_get_request(client);
    int error = s.gone ? EIO : 0;
    switch (error != 0 ? 0 : request) {
      case 0:
        break;
      case TCGETS2:
        if (auto* t = argument<termios2>(client)) *t = s.tio;
        break;
      case TCSETS2:
      case TCSETSW2:
      case TCSETSF2:
        if (auto* t = argument<termios2>(client)) s.tio = *t;
        break;
      case TIOCMGET:
        if (auto* v = argument<int>(client)) *v = s.inputs | s.outputs;
        break;
      case TIOCMBIS:
      case TIOCMBIC:
        if (auto* v = argument<int>(client)) {
          bool on = request == TIOCMBIS;
          if (*v & TIOCM_DTR) s.events.push_back(on ? "DTR+" : "DTR-");
          if (*v & TIOCM_RTS) s.events.push_back(on ? "RTS+" : "RTS-");
          s.outputs = on ? s.outputs | (*v & (TIOCM_DTR | TIOCM_RTS)) : s.outputs & ~*v;
        }
        break;
      case TIOCSBRK:
      case TIOCCBRK:
        s.events.push_back(request == TIOCSBRK ? "BREAK+" : "BREAK-");
        break;
      case TIOCGICOUNT:
        if (auto* c = argument<serial_icounter_struct>(client)) *c = s.count;
        break;
      case TIOCINQ:
      case TIOCOUTQ:
        if (auto* v = argument<int>(client)) *v = 0;
        break;
      case TCFLSH:
        s.events.push_back("FLUSH");
        break;
      case TCXONC:
        break;
      default:  // TIOCGSERIAL and the rest: not this driver's
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
  }

  UMockdevTestbed* m_bed = nullptr;
  UMockdevIoctlBase* m_handler = nullptr;
  int m_master = -1;
  std::mutex m_mutex;
  State m_state;
};

class EmulatedSerial : public ::testing::Test {
protected:
  void SetUp() override {
    if (!preloaded()) GTEST_SKIP() << "needs umockdev's preload (the serial_umockdev test entry)";
    settings->m_autoresumeTimer = 30;
    adapter = std::make_unique<EmulatedAdapter>();
    ASSERT_TRUE(adapter->ok());
    ASSERT_TRUE(zortest::linkComPort(kPort, kNode));
  }

  TestEnv env;  // the port links live beside its settings file, and go with it
  SettingsScope settings;
  std::unique_ptr<EmulatedAdapter> adapter;
};

TEST_F(EmulatedSerial, OpenRaisesDtrAndRtsAndCloseLowersThem) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  EXPECT_EQ(adapter->state().outputs, TIOCM_DTR | TIOCM_RTS);
  termios2 t = adapter->state().tio;
  EXPECT_EQ(t.c_ospeed, 9600u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw line";
  auto events = adapter->state().events;
  EXPECT_NE(std::find(events.begin(), events.end(), "FLUSH"), events.end()) << "the open purges";
  adapter->change([](auto& s) { s.events.clear(); });

  ASSERT_TRUE(dev.CloseDevice());
  EXPECT_EQ(adapter->state().outputs, 0);
  events = adapter->state().events;
  events.resize(3);
  EXPECT_EQ(events, (std::vector<std::string>{"RTS-", "DTR-", "FLUSH"}));
}

// Each open programs the whole line. Nine data bits are refused by the state
// write: the driver keeps what it had (here its own 9600 8N1) and the port opens.
TEST_F(EmulatedSerial, ProgrammedLineReachesTheDriver) {
  struct Case {
    bool hw;
    unsigned long rate;
    unsigned char parity, data, stop;
    tcflag_t parityFlags, size;
    bool two;
  };
  CDevRS232 dev;
  for (const Case& c :
       {Case{false, 9600, 'N', 9, 1, 0, CS8, false}, Case{true, 19200, 'e', 7, 2, PARENB, CS7, true},
        Case{false, 14400, 'x', 8, 1, 0, CS8, false},
        Case{false, 56000, 'O', 8, 0, PARENB | PARODD, CS8, false},
        Case{false, 128000, 'm', 6, 2, PARENB | PARODD | CMSPAR, CS6, true},
        Case{false, 256000, 'S', 5, 7, PARENB | CMSPAR, CS5, false}}) {
    dev.DeviceProgram(c.hw, c.rate, c.parity, c.data, c.stop);
    ASSERT_TRUE(dev.OpenDevice(kPort, c.hw ? 0 : 3, 8192, 8192));
    termios2 t = adapter->state().tio;
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, c.rate);
    EXPECT_EQ(t.c_ispeed, c.rate);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags) << c.parity;
    EXPECT_EQ(t.c_cflag & CSIZE, c.size) << int(c.data);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two) << int(c.stop);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.hw);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << "flow control is the library's own";
    EXPECT_EQ(dev.HwHandshakeStatus(), c.hw);
    ASSERT_TRUE(dev.CloseDevice());
  }
}

TEST_F(EmulatedSerial, CtsGatesTransmissionUnderHandshake) {
  adapter->change([](auto& s) { s.inputs = TIOCM_DSR; });  // CTS low
  CDevRS232 dev;
  dev.DeviceProgram(true, 115200, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("gated"), 5));
  EXPECT_EQ(adapter->receive(5, 300), "");
  EXPECT_EQ(dev.GetTxBufferCount(), 5u) << "the bytes wait in the library";
  COMSTAT st{};
  unsigned long errors = 0;
  EXPECT_FALSE(dev.GetStatus(&errors, &st));
  EXPECT_EQ(st.fCtsHold, 1u);

  adapter->change([](auto& s) { s.inputs = TIOCM_DSR | TIOCM_CTS; });
  EXPECT_EQ(adapter->receive(5, 3000), "gated");

  // Without handshake CTS does not matter.
  ASSERT_TRUE(dev.EnableHwHandshake(false));
  adapter->change([](auto& s) { s.inputs = 0; });
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("free"), 4));
  EXPECT_EQ(adapter->receive(4, 3000), "free");
}

TEST_F(EmulatedSerial, ModemLinesBreakAndLineStatus) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  adapter->change([](auto& s) { s.events.clear(); });
  ASSERT_TRUE(dev.SetBreak(true));
  ASSERT_TRUE(dev.SetBreak(false));
  ASSERT_TRUE(dev.SetRts(false));
  ASSERT_TRUE(dev.SetDtr(false));
  ASSERT_TRUE(dev.SetDtr(true));
  EXPECT_EQ(adapter->state().events, (std::vector<std::string>{"BREAK+", "BREAK-", "RTS-", "DTR-", "DTR+"}));
  EXPECT_EQ(adapter->state().outputs, TIOCM_DTR);

  adapter->change([](auto& s) { s.inputs = TIOCM_CTS | TIOCM_RNG | TIOCM_CAR; });
  unsigned long modem = 0;
  ASSERT_TRUE(dev.GetCommModemStatus(&modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_RING_ON | MS_RLSD_ON);

  unsigned long errors = 0;
  EXPECT_FALSE(dev.GetStatus(&errors, nullptr));
  adapter->change([](auto& s) {
    s.count.frame += 1;
    s.count.parity += 2;
  });
  EXPECT_TRUE(dev.GetStatus(&errors, nullptr));
  EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
  EXPECT_FALSE(dev.GetStatus(&errors, nullptr)) << "reading clears";
  EXPECT_EQ(errors, 0u);
  adapter->change([](auto& s) {
    s.count.overrun += 1;
    s.count.brk += 1;
    s.count.buf_overrun += 1;
  });
  EXPECT_TRUE(dev.GetStatus(&errors, nullptr));
  EXPECT_EQ(errors, CE_OVERRUN | CE_BREAK | CE_RXOVER);
}

TEST_F(EmulatedSerial, AnUnpluggedAdapterPanicsAndResumesWhenPluggedBack) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevRS232 dev;
  rec.attach(dev);
  dev.DeviceProgram(false, 57600, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  adapter->change([](auto& s) { s.gone = true; });
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  EXPECT_FALSE(dev.IsDeviceOpen());
  adapter->change([](auto& s) { s.gone = false; });
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_EQ(adapter->state().tio.c_ospeed, 57600u);
  EXPECT_EQ(adapter->state().outputs, TIOCM_DTR | TIOCM_RTS);
  ASSERT_TRUE(dev.WriteByte('!'));
  EXPECT_EQ(adapter->receive(1, 3000), "!");
  dev.CloseDevice();
}

}  // namespace

#else

TEST(EmulatedSerial, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
