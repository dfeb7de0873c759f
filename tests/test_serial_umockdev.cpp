// The serial device against an emulated USB serial adapter
// (support/emulated_adapter.h). Runs only under umockdev's preload (its own
// ctest entry).
#include <zor/zor.h>

#include "zor/platform/tcp.h"
#include "zor/remote/socketserver.h"

#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV
#include "support/emulated_adapter.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace zor;
using namespace zor_test;
using zortest::EmulatedAdapter;
using zortest::kNode;
using zortest::preloaded;

namespace {

constexpr int kPort = 7;

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

// A served serial port as a network serial port's client drives it: its
// line settings and control lines reach the adapter, and the instrument's
// modem lines reach the client as they change.
TEST_F(EmulatedSerial, ANetworkSerialPortClientDrivesTheServedAdapter) {
  CDevRS232 served;
  ASSERT_TRUE(served.OpenDevice(kPort, 0, 1024, 1024));
  CSocketServer server(CSocketServer::RFC2217, &served, nullptr);
  ASSERT_TRUE(server.Start(0, parseIpv4("127.0.0.1")));
  CDevRfc2217 client("127.0.0.1", static_cast<unsigned short>(server.listeningPort()));
  client.DeviceProgram(true, 19200, 'E', 7, 2);
  ASSERT_TRUE(client.OpenDevice(0, 1024, 1024));
  termios2 tio = adapter->state().tio;
  EXPECT_EQ(tio.c_ospeed, 19200u);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), CS7 | PARENB | CSTOPB | CRTSCTS);
  ASSERT_TRUE(client.EnableHwHandshake(false));
  EXPECT_EQ(adapter->state().tio.c_cflag & CRTSCTS, 0u);
  adapter->change([](auto& s) { s.events.clear(); });
  ASSERT_TRUE(client.SetRts(false) && client.SetDtr(false) && client.SetDtr(true));
  ASSERT_TRUE(client.SetBreak(true) && client.SetBreak(false));
  EXPECT_EQ(adapter->state().events, (std::vector<std::string>{"RTS-", "DTR-", "DTR+", "BREAK+", "BREAK-"}));

  adapter->change([](auto& s) { s.inputs = TIOCM_CTS | TIOCM_CAR; });
  const auto linesAre = [&](unsigned long want) {
    return waitUntil(
        [&] {
          unsigned long lines = 0;
          return client.GetCommModemStatus(&lines) && lines == want;
        },
        5000);
  };
  EXPECT_TRUE(linesAre(MS_CTS_ON | MS_RLSD_ON)) << "reported as the lines change";
  adapter->change([](auto& s) { s.inputs = TIOCM_DSR; });
  EXPECT_TRUE(linesAre(MS_DSR_ON));
  client.CloseDevice();
  server.Stop();
  served.CloseDevice();
}

}  // namespace

#else

TEST(EmulatedSerial, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
