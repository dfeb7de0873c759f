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
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
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
  EmulatedAdapter() {
    m_tio.c_cflag = BOTHER | CS8 | CREAD | HUPCL;
    m_tio.c_ispeed = m_tio.c_ospeed = 9600;
    m_tio.c_lflag = ICANON | ECHO;
    m_tio.c_oflag = OPOST;
    m_bed = umockdev_testbed_new();
    plugIn();
  }
  ~EmulatedAdapter() {
    unplug();
    g_object_unref(m_bed);
  }

  bool ok() const { return m_handler != nullptr; }

  void plugIn() {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_bed,
                                          "P: /devices/pci0000:00/usb1/1-1/ttyUSB0\n"
                                          "N: ttyUSB0\n"
                                          "E: DEVNAME=/dev/ttyUSB0\n"
                                          "E: SUBSYSTEM=tty\n"
                                          "A: dev=188:0\n",
                                          &error)) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
      return;
    }
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedAdapter::onIoctl), this);
    g_signal_connect(m_handler, "handle-read", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
    g_signal_connect(m_handler, "handle-write", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
    if (!umockdev_testbed_attach_ioctl(m_bed, kNode, m_handler, &error)) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
      g_object_unref(m_handler);
      m_handler = nullptr;
      return;
    }
    m_master = umockdev_testbed_get_dev_fd(m_bed, kNode);
    if (m_master >= 0) fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  }

  // The adapter is pulled out while the library holds its tty, and comes back
  // (the test bed cannot add a node twice, so the same node returns).
  void pullOut(bool gone) {
    std::lock_guard lock(m_mutex);
    m_gone = gone;
  }

  void unplug() {
    if (m_handler == nullptr) return;
    umockdev_testbed_detach_ioctl(m_bed, kNode, nullptr);
    umockdev_testbed_remove_device(m_bed, "/sys/devices/pci0000:00/usb1/1-1/ttyUSB0");
    g_object_unref(m_handler);
    m_handler = nullptr;
    m_master = -1;
  }

  // Modem inputs the instrument drives.
  void setInputs(int lines) {
    std::lock_guard lock(m_mutex);
    m_lines = (m_lines & (TIOCM_DTR | TIOCM_RTS)) | lines;
  }
  int lines() {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  void countErrors(int frame, int overrun, int parity, int brk, int bufOverrun) {
    std::lock_guard lock(m_mutex);
    m_count.frame += frame;
    m_count.overrun += overrun;
    m_count.parity += parity;
    m_count.brk += brk;
    m_count.buf_overrun += bufOverrun;
  }
  std::vector<std::string> events() {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  void clearEvents() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
  }
  termios2 settings() {
    std::lock_guard lock(m_mutex);
    return m_tio;
  }

  // Bytes the library sent, until count have come or ms have passed.
  std::string receive(std::size_t count, int ms) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < count && m_master >= 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd p{m_master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(m_master, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

private:
  // Reads and writes go to the line itself, until the adapter is pulled out:
  // then, as a disconnected USB adapter's tty does, they fail with EIO.
  static gboolean onTransfer(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* me = static_cast<EmulatedAdapter*>(self);
    std::lock_guard lock(me->m_mutex);
    if (!me->m_gone) return FALSE;
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

  void lineChange(int bits, bool on) {
    if (bits & TIOCM_DTR) m_events.push_back(on ? "DTR+" : "DTR-");
    if (bits & TIOCM_RTS) m_events.push_back(on ? "RTS+" : "RTS-");
    bits &= TIOCM_DTR | TIOCM_RTS;
    m_lines = on ? (m_lines | bits) : (m_lines & ~bits);
  }

  void handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(m_mutex);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (m_gone) {
      umockdev_ioctl_client_complete(client, -1, EIO);
      return;
    }
    long result = 0;
    int error = 0;
    switch (request) {
      case TCGETS2:
        if (auto* t = argument<termios2>(client)) *t = m_tio;
        break;
      case TCSETS2:
      case TCSETSW2:
      case TCSETSF2:
        if (auto* t = argument<termios2>(client)) {
          m_tio = *t;
        }
        break;
      case TIOCMGET:
        if (auto* v = argument<int>(client)) *v = m_lines;
        break;
      case TIOCMBIS:
      case TIOCMBIC:
        if (auto* v = argument<int>(client)) lineChange(*v, request == TIOCMBIS);
        break;
      case TIOCSBRK:
        m_events.push_back("BREAK+");
        break;
      case TIOCCBRK:
        m_events.push_back("BREAK-");
        break;
      case TIOCGICOUNT:
        if (auto* c = argument<serial_icounter_struct>(client)) *c = m_count;
        break;
      case TIOCINQ:
      case TIOCOUTQ:
        if (auto* v = argument<int>(client)) *v = 0;
        break;
      case TCFLSH:
        m_events.push_back("FLUSH");
        break;
      case TCXONC:
        break;
      default:  // TIOCGSERIAL and the rest: not this driver's
        result = -1;
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, result, error);
  }

  UMockdevTestbed* m_bed = nullptr;
  UMockdevIoctlBase* m_handler = nullptr;
  int m_master = -1;
  std::mutex m_mutex;
  termios2 m_tio{};
  bool m_gone = false;
  int m_lines = TIOCM_CTS | TIOCM_DSR;
  serial_icounter_struct m_count{};
  std::vector<std::string> m_events;
};

class EmulatedSerial : public ::testing::Test {
protected:
  void SetUp() override {
    if (!preloaded()) GTEST_SKIP() << "needs umockdev's preload (the serial_umockdev test entry)";
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 500;
    theApp.m_autoresumeTimer = 30;
    adapter = std::make_unique<EmulatedAdapter>();
    ASSERT_TRUE(adapter->ok());
    ASSERT_TRUE(zortest::linkComPort(kPort, kNode));
  }
  void TearDown() override { zortest::unlinkComPort(kPort); }

  SettingsScope settings;
  std::unique_ptr<EmulatedAdapter> adapter;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(EmulatedSerial, OpenRaisesDtrAndRtsAndCloseLowersThem) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  EXPECT_EQ(adapter->lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  termios2 t = adapter->settings();
  EXPECT_EQ(t.c_ospeed, 9600u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw line";
  EXPECT_TRUE(contains(adapter->events(), "FLUSH")) << "the open purges";
  adapter->clearEvents();

  ASSERT_TRUE(dev.CloseDevice());
  EXPECT_EQ(adapter->lines() & (TIOCM_DTR | TIOCM_RTS), 0);
  auto events = adapter->events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "RTS-");
  EXPECT_EQ(events[1], "DTR-");
  EXPECT_EQ(events[2], "FLUSH");
}

TEST_F(EmulatedSerial, ProgrammedLineReachesTheDriver) {
  CDevRS232 dev;
  dev.DeviceProgram(true, 19200, 'e', 7, 2);
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 8192, 8192));
  termios2 t = adapter->settings();
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(t.c_ospeed, 19200u);
  EXPECT_EQ(t.c_ispeed, 19200u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB)) << "even";
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  ASSERT_TRUE(dev.CloseDevice());

  struct Case {
    unsigned long rate;
    unsigned char parity;
    unsigned char data;
    unsigned char stop;
    tcflag_t parityFlags;
    tcflag_t size;
    bool two;
  };
  for (const Case& c :
       {Case{14400, 'x', 8, 1, 0, CS8, false}, Case{56000, 'O', 8, 0, PARENB | PARODD, CS8, false},
        Case{128000, 'm', 6, 2, PARENB | PARODD | CMSPAR, CS6, true},
        Case{256000, 'S', 5, 7, PARENB | CMSPAR, CS5, false}}) {
    dev.DeviceProgram(false, c.rate, c.parity, c.data, c.stop);
    ASSERT_TRUE(dev.OpenDevice(kPort, 3, 1024, 1024));
    t = adapter->settings();
    EXPECT_EQ(t.c_ospeed, c.rate);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags) << c.parity;
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two) << int(c.stop);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    ASSERT_TRUE(dev.CloseDevice());
  }
}

TEST_F(EmulatedSerial, AnImpossibleLineKeepsTheDriversSettingsAndOpens) {
  CDevRS232 dev;
  dev.DeviceProgram(false, 9600, 'N', 9, 1);  // nine data bits: refused by the state write
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  EXPECT_EQ(adapter->settings().c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST_F(EmulatedSerial, CtsGatesTransmissionUnderHandshake) {
  adapter->setInputs(TIOCM_DSR);  // CTS low
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

  adapter->setInputs(TIOCM_DSR | TIOCM_CTS);
  EXPECT_EQ(adapter->receive(5, 3000), "gated");

  // Without handshake CTS does not matter.
  ASSERT_TRUE(dev.EnableHwHandshake(false));
  adapter->setInputs(0);
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("free"), 4));
  EXPECT_EQ(adapter->receive(4, 3000), "free");
}

TEST_F(EmulatedSerial, ModemLinesBreakAndLineStatus) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  adapter->clearEvents();
  ASSERT_TRUE(dev.SetBreak(true));
  ASSERT_TRUE(dev.SetBreak(false));
  ASSERT_TRUE(dev.SetRts(false));
  ASSERT_TRUE(dev.SetDtr(false));
  ASSERT_TRUE(dev.SetDtr(true));
  EXPECT_EQ(adapter->events(), (std::vector<std::string>{"BREAK+", "BREAK-", "RTS-", "DTR-", "DTR+"}));
  EXPECT_EQ(adapter->lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);

  adapter->setInputs(TIOCM_CTS | TIOCM_RNG | TIOCM_CAR);
  unsigned long modem = 0;
  ASSERT_TRUE(dev.GetCommModemStatus(&modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_RING_ON | MS_RLSD_ON);

  unsigned long errors = 0;
  EXPECT_FALSE(dev.GetStatus(&errors, nullptr));
  adapter->countErrors(1, 0, 2, 0, 0);
  EXPECT_TRUE(dev.GetStatus(&errors, nullptr));
  EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
  EXPECT_FALSE(dev.GetStatus(&errors, nullptr)) << "reading clears";
  EXPECT_EQ(errors, 0u);
  adapter->countErrors(0, 1, 0, 1, 1);
  EXPECT_TRUE(dev.GetStatus(&errors, nullptr));
  EXPECT_EQ(errors, CE_OVERRUN | CE_BREAK | CE_RXOVER);
}

TEST_F(EmulatedSerial, AnUnpluggedAdapterPanicsAndResumesWhenPluggedBack) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevRS232 dev;
  rec.attach(dev);
  dev.DeviceProgram(false, 57600, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(kPort, 0, 1024, 1024));
  adapter->pullOut(true);
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  EXPECT_FALSE(dev.IsDeviceOpen());
  adapter->pullOut(false);
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_EQ(adapter->settings().c_ospeed, 57600u);
  EXPECT_EQ(adapter->lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  ASSERT_TRUE(dev.WriteByte('!'));
  EXPECT_EQ(adapter->receive(1, 3000), "!");
  dev.CloseDevice();
}

}  // namespace

#else

TEST(EmulatedSerial, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
