// The serial port device: settings, byte time, line status, and the data path
// through a real pseudo-terminal standing in for the instrument.
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace zor;
using namespace zor_test;
using zortest::asString;
using zortest::LineSettings;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

class SerialDevice : public ::testing::Test {
protected:
  void SetUp() override {
    theApp.m_threadGranularity = 2;
    theApp.m_ioWriteTimeout = 500;
    theApp.m_autoresumeTimer = 30;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
  }
  void TearDown() override { zortest::unlinkComPort(portNumber()); }

  LineSettings line() {
    LineSettings s;
    EXPECT_TRUE(pty.settings(s));
    return s;
  }

  SettingsScope settings;
  PtyPair pty;
};

TEST(SerialSettings, ByteTimeFollowsTheStoredSettings) {
  CDevRS232 dev;
  EXPECT_EQ(dev.GetByteTime(), 1u);  // 9600 8N1
  struct Case {
    unsigned long rate;
    char parity;
    int data, stop;
    unsigned long ms;
  };
  for (const Case& c :
       {Case{1200, 'E', 7, 0, 8}, Case{300, 'N', 8, 2, 37}, Case{110, 'n', 8, 1, 90},
        Case{115200, 'N', 8, 1, 0}, Case{110, 'x', 8, 1, 90},  // letters outside the parity table add no bit
        Case{0, 'N', 8, 1, 0},                                 // no rate, no time
        Case{4, 'N', 8, 1, 2500}, Case{1, 'E', 8, 2, 12000},
        Case{7, 'N', 8, 1, 1000},  // 0.7 characters a second round to 1
        Case{4000000000ul, 'N', 8, 1, 0},
        Case{9600, 'N', 255, 9, 26}}) {  // 256 bits (code 9: no stop bit): absurd, but answered
    dev.DeviceProgram(false, c.rate, c.parity, c.data, c.stop);
    EXPECT_EQ(dev.GetByteTime(), c.ms) << c.rate << " " << c.parity << c.data << " " << c.stop;
  }
}

TEST(SerialSettings, StatusJudgesOnlyTheErrorBitsOfTheMask) {
  CDevRS232 dev;  // closed: the word is judged as passed in
  for (unsigned long bit : {CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK, CE_TXFULL, CE_IOE}) {
    unsigned long word = bit;
    EXPECT_TRUE(dev.GetStatus(&word, nullptr)) << bit;
  }
  unsigned long others = 0xFFFFFFFFul & ~0x051Ful;
  EXPECT_FALSE(dev.GetStatus(&others, nullptr));
  unsigned long none = 0;
  EXPECT_FALSE(dev.GetStatus(&none, nullptr));
  EXPECT_FALSE(dev.GetStatus(nullptr, nullptr));
}

TEST(SerialSettings, LineControlOnAClosedPortFailsAndKeepsTheSettings) {
  CDevRS232 dev;
  EXPECT_FALSE(dev.ChangeSpeed(19200));
  EXPECT_EQ(dev.GetByteTime(), 1u) << "still 9600";
  EXPECT_FALSE(dev.EnableHwHandshake(true));
  EXPECT_FALSE(dev.HwHandshakeStatus());
  EXPECT_TRUE(dev.EnableHwHandshake(false)) << "the value it has needs no port";
  EXPECT_FALSE(dev.SetRts(true));
  EXPECT_FALSE(dev.SetDtr(false));
  EXPECT_FALSE(dev.SetBreak(true));
  DCB dcb{};
  unsigned long status = 0;
  EXPECT_FALSE(dev.GetCommState(&dcb));
  EXPECT_FALSE(dev.SetCommState(&dcb));
  EXPECT_FALSE(dev.SetupComm(1024, 1024));
  EXPECT_FALSE(dev.SetCommMask(EV_RXCHAR));
  EXPECT_FALSE(dev.PurgeComm(15));
  EXPECT_FALSE(dev.EscapeCommFunction(SETDTR));
  EXPECT_FALSE(dev.ClearCommError(&status, nullptr));
  EXPECT_FALSE(dev.GetCommModemStatus(&status));
  EXPECT_EQ(dev.Type(), ZOR_RS232);
}

TEST_F(SerialDevice, DefaultsProgram9600EightNoneOne) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  LineSettings s = line();
  EXPECT_EQ(s.rate, 9600u);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_FALSE(s.parity);
  EXPECT_FALSE(s.twoStopBits);
  EXPECT_FALSE(s.rtsCts);
  EXPECT_FALSE(s.softwareFlow) << "flow control is the library's own";
  EXPECT_TRUE(s.raw);
  DCB dcb{};
  ASSERT_TRUE(dev.GetCommState(&dcb));
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.XonLim, 256);
  EXPECT_EQ(dcb.XoffLim, 768);
  EXPECT_FALSE(dev.HwHandshakeStatus());
}

TEST_F(SerialDevice, ProgrammedSettingsReachTheLineAtOpen) {
  CDevRS232 dev;
  dev.DeviceProgram(true, 19200, 'e', 7, 2);
  EXPECT_TRUE(dev.IsDeviceOpen() == false);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 8192, 8192));
  LineSettings s = line();
  EXPECT_EQ(s.rate, 19200u);
  EXPECT_TRUE(s.twoStopBits);
  EXPECT_TRUE(s.rtsCts);
  // A pseudo-terminal forces 8 data bits and no parity; the request itself is
  // checked where the driver can be watched (the emulated adapter's test).
  DCB dcb{};
  ASSERT_TRUE(dev.GetCommState(&dcb));
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.XonLim, 2048);
  EXPECT_EQ(dcb.XoffLim, 6144);
  EXPECT_TRUE(dev.HwHandshakeStatus());
  ASSERT_TRUE(dev.CloseDevice());

  // The settings persist; stop code 1 (the host's "1.5") is one stop bit.
  dev.DeviceProgram(false, 14400, 'x', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 8192, 8192));
  s = line();
  EXPECT_EQ(s.rate, 14400u);
  EXPECT_FALSE(s.twoStopBits);
  EXPECT_FALSE(s.rtsCts);
}

TEST_F(SerialDevice, RateAndHandshakeChangeOnTheOpenPort) {
  CDevRS232 dev;
  dev.DeviceProgram(false, 56000, 'N', 8, 0);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 3, 1024, 1024));
  EXPECT_EQ(line().rate, 56000u);
  for (unsigned long rate : {128000ul, 256000ul, 1200ul}) {
    ASSERT_TRUE(dev.ChangeSpeed(rate));
    EXPECT_EQ(line().rate, rate);
  }
  EXPECT_EQ(dev.GetByteTime(), 8u) << "1200 8N1 gives 8";
  // A rate the line cannot run is refused and the old one stays, on the line and in the settings.
  EXPECT_FALSE(dev.ChangeSpeed(0));
  EXPECT_EQ(line().rate, 1200u);
  EXPECT_EQ(dev.GetByteTime(), 8u);

  ASSERT_TRUE(dev.EnableHwHandshake(true));
  EXPECT_TRUE(line().rtsCts);
  EXPECT_TRUE(dev.HwHandshakeStatus());
  EXPECT_TRUE(dev.EnableHwHandshake(true));
  ASSERT_TRUE(dev.EnableHwHandshake(false));
  EXPECT_FALSE(line().rtsCts);
  EXPECT_EQ(line().rate, 1200u) << "the handshake change keeps the rate";
}

class SerialDataPath : public SerialDevice, public ::testing::WithParamInterface<int> {};

TEST_P(SerialDataPath, BytesTravelBothWaysInOrder) {
  CDevRS232 dev;
  dev.DeviceProgram(false, 115200, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), GetParam(), 8192, 8192));
  const std::string out = pattern(5000);
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>(out.data()), out.size()));
  EXPECT_EQ(pty.receive(out.size(), 10000), out);

  const std::string in = pattern(6000).substr(1000);
  ASSERT_TRUE(pty.send(in));
  EXPECT_EQ(asString(readBytes(dev, in.size(), 10000)), in);
  EXPECT_TRUE(dev.CloseDevice());
}

INSTANTIATE_TEST_SUITE_P(Modes, SerialDataPath, ::testing::Values(0, 1, 2, 3));

TEST_F(SerialDevice, SoftwareFlowControlWorksThroughTheTty) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevRS232 dev;
  rec.attach(dev);
  dev.EnableXonHandshake(true, kXon, kXoff);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  EXPECT_EQ(pty.receive(1, 3000), "\xA1") << "the open invites the peer to send";

  // The peer says stop: nothing goes out until it says go on.
  ASSERT_TRUE(pty.send("\xA0"));
  ASSERT_TRUE(rec.waitForEvent(IDS_XOFF_RECEIVED, 3000));
  ASSERT_TRUE(dev.WriteBuffer(reinterpret_cast<const unsigned char*>("held"), 4));
  EXPECT_EQ(pty.receive(4, 300), "");
  ASSERT_TRUE(pty.send("\xA1"));
  EXPECT_EQ(pty.receive(4, 3000), "held");

  // A peer that floods the receive side is told to stop at the high tide.
  ASSERT_TRUE(pty.send(std::string(800, 'z')));
  EXPECT_EQ(pty.receive(1, 3000), "\xA0");
  EXPECT_EQ(asString(readBytes(dev, 800, 5000)), std::string(800, 'z'));
  EXPECT_EQ(pty.receive(1, 3000), "\xA1") << "and to go on once it drained";
  EXPECT_EQ(rec.bytes(LOG_RX).size(), 800u) << "flow bytes are not data";
}

TEST_F(SerialDevice, FlushDropsWhatWaitsAndTheLineGoesOn) {
  CDevRS232 dev;
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  ASSERT_TRUE(pty.send("stale"));
  ASSERT_TRUE(waitUntil([&] { return dev.GetRxBufferCount() == 5; }, 3000));
  dev.Flush(true, true);
  EXPECT_EQ(dev.GetRxBufferCount(), 0u);
  EXPECT_EQ(dev.GetTxBufferCount(), 0u);
  ASSERT_TRUE(pty.send("fresh"));
  EXPECT_EQ(asString(readBytes(dev, 5, 3000)), "fresh");
}

TEST_F(SerialDevice, APortThatMapsToNothingFailsTheOpenWithTheSystemError) {
  CDevRS232 dev;
  ASSERT_TRUE(zortest::linkComPort(portNumber(), "/nonexistent/ttyUSB9"));
  SetLastError(0);
  EXPECT_FALSE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(dev.IsDeviceOpen());
  EXPECT_FALSE(dev.OpenDevice(-5, 0, 1024, 1024));
  EXPECT_FALSE(dev.OpenDevice(0, 0, 1024, 1024));
  EXPECT_FALSE(dev.IsDeviceOpen());
  // The device still works once the port is there.
  ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
  EXPECT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
}

// COM3 is the link ports/COM3 beside the settings file. Held by another
// program, it is listed by the library's port probe and refused.
TEST(SerialPortNames, Com3OpensTheTtyItMapsToAndAHeldPortIsListedButRefused) {
  if (std::getenv("ZOR_SERIAL_HELD_CHILD") != nullptr) GTEST_SKIP() << "the child's part runs below";
  SettingsScope settings;
  theApp.m_threadGranularity = 2;
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(zortest::linkComPort(3, pty.path()));
  {
    CDevRS232 dev;
    ASSERT_TRUE(dev.OpenDevice(3, 0, 1024, 1024));
    ASSERT_TRUE(dev.WriteByte('3'));
    EXPECT_EQ(pty.receive(1, 3000), "3");
    CDevRS232 second;
    EXPECT_FALSE(second.OpenDevice(3, 0, 1024, 1024));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  zortest::PortHolder other(pty.path());
  ASSERT_TRUE(other.locked());
  auto result =
      zortest::runProcess(zortest::selfExecutable(), {"--gtest_filter=SerialPortNames.HeldPortChild"},
                          {{"ZOR_SERIAL_HELD_CHILD", "1"}});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  zortest::unlinkComPort(3);
}

TEST(SerialPortNames, HeldPortChild) {
  if (std::getenv("ZOR_SERIAL_HELD_CHILD") == nullptr) GTEST_SKIP() << "run by the test above";
  bool listed = false;
  for (int i = 0; i < zorNumComPorts(); ++i) listed = listed || zorGetComPortNumber(i) == 3;
  EXPECT_TRUE(listed);
  CDevRS232 dev;
  EXPECT_FALSE(dev.OpenDevice(3, 0, 1024, 1024));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

}  // namespace
