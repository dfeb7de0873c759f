// The serial port device: settings, byte time, line status, and the data path
// through a real pseudo-terminal standing in for the instrument; a line that
// goes away and comes back.
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using namespace zor_test;
using zortest::asString;
using zortest::LineSettings;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

const unsigned char* bytesOf(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

// Lets ms pass, the device idling meanwhile, and checks that it did not spin.
void expectNoSpin(int ms) {
  long cpu = zortest::processCpuMs();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(zortest::processCpuMs() - cpu, wall.count() / 2) << "a thread spins while the line is gone";
}

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

TEST(SerialSettings, AClosedPortRefusesLineControlAndKeepsTheSettings) {
  CDevRS232 dev;
  EXPECT_FALSE(dev.ChangeSpeed(19200));
  EXPECT_EQ(dev.GetByteTime(), 1u) << "still 9600";
  EXPECT_FALSE(dev.EnableHwHandshake(true));
  EXPECT_FALSE(dev.HwHandshakeStatus());
  EXPECT_TRUE(dev.EnableHwHandshake(false)) << "the value it has needs no port";
  DCB dcb{};
  unsigned long status = 0;
  int call = 0;
  for (bool ok : {dev.SetRts(true), dev.SetDtr(false), dev.SetBreak(true), dev.GetCommState(&dcb),
                  dev.SetCommState(&dcb), dev.SetupComm(1024, 1024), dev.SetCommMask(EV_RXCHAR),
                  dev.PurgeComm(15), dev.EscapeCommFunction(SETDTR), dev.ClearCommError(&status, nullptr),
                  dev.GetCommModemStatus(&status)})
    EXPECT_FALSE(ok) << "call " << call++;
  EXPECT_FALSE(dev.GetStatus(nullptr, nullptr));
}

class SerialDevice : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_autoresumeTimer = 20;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
  }
  LineSettings line() {
    LineSettings s;
    EXPECT_TRUE(pty.settings(s));
    return s;
  }
  TestEnv env;  // the port links live beside its settings file, and go with it
  SettingsScope settings;
  PtyPair pty;
};

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
  ASSERT_TRUE(dev.EnableHwHandshake(false));
  EXPECT_FALSE(line().rtsCts);
  EXPECT_EQ(line().rate, 1200u) << "the handshake change keeps the rate";
}

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
  ASSERT_TRUE(dev.WriteBuffer(bytesOf("held"), 4));
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

// The application may control the line from its own thread while the port
// closes and opens again: each call meets an open port or fails as on a
// closed one, never a port half gone.
TEST_F(SerialDevice, LineControlsFromAnotherThreadMeetClosesCleanly) {
  CDevRS232 dev;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::atomic<int> wrongErrors{0};
  std::thread controller([&] {
    for (int i = 0; i < 100000 && !stop; ++i) {
      DCB dcb{};
      unsigned long errors = 0;
      if (dev.GetCommState(&dcb) && dev.SetupComm(1024, 1024) && dev.ChangeSpeed(i % 2 ? 19200 : 38400) &&
          dev.ClearCommError(&errors, nullptr))
        ++answered;
      else if (GetLastError() != ERROR_INVALID_HANDLE)
        ++wrongErrors;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int cycle = 0; cycle < 20; ++cycle) {
    if (!dev.OpenDevice(portNumber(), cycle % 2 ? 3 : 0, 1024, 1024)) {
      ADD_FAILURE() << "open " << cycle << ": " << GetLastError();
      break;
    }
    const int before = answered;
    EXPECT_TRUE(waitUntil([&] { return answered > before; }, 3000)) << cycle;
    EXPECT_TRUE(dev.CloseDevice());
  }
  stop = true;
  controller.join();
  EXPECT_EQ(wrongErrors, 0);
  EXPECT_FALSE(dev.SetDtr(true));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A link to nothing, or to a node that is no tty, is no port.
TEST_F(SerialDevice, APortThatMapsToNothingFailsTheOpenWithTheSystemError) {
  CDevRS232 dev;
  for (const char* target : {"/nonexistent/ttyUSB9", "/dev/null"}) {
    ASSERT_TRUE(zortest::linkComPort(portNumber(), target));
    SetLastError(0);
    EXPECT_FALSE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << target;
    EXPECT_FALSE(dev.IsDeviceOpen());
  }
  EXPECT_FALSE(dev.OpenDevice(-5, 0, 1024, 1024));
  EXPECT_FALSE(dev.OpenDevice(0, 0, 1024, 1024));
  EXPECT_FALSE(dev.IsDeviceOpen());
  // The device still works once the port is there.
  ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
  EXPECT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
}

TEST_F(SerialDevice, WithoutResumeADeadLineStopsButDoesNotSpin) {
  settings->m_panicResume = false;
  LogRecorder rec;
  CDevRS232 dev;
  rec.attach(dev);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), 0, 1024, 1024));
  pty.hangUp();
  expectNoSpin(500);
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 0u);
  dev.CloseDevice();
}

// COM3 is the link ports/COM3 beside the settings file. Held by another
// program, it is listed by the library's port probe and refused.
TEST_F(SerialDevice, Com3OpensTheTtyItMapsToAndAHeldPortIsListedButRefused) {
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

// The two overlap modes a one-name channel has.
class SerialModes : public SerialDevice, public ::testing::WithParamInterface<int> {};

TEST_P(SerialModes, BytesTravelBothWaysInOrder) {
  CDevRS232 dev;
  dev.DeviceProgram(false, 115200, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), GetParam(), 8192, 8192));
  const std::string out = pattern(5000);  // every byte value: a raw line passes each as it is
  ASSERT_TRUE(dev.WriteBuffer(bytesOf(out), out.size()));
  EXPECT_EQ(pty.receive(out.size(), 10000), out);

  const std::string in = pattern(6000).substr(1000);
  ASSERT_TRUE(pty.send(in));
  EXPECT_EQ(asString(readBytes(dev, in.size(), 10000)), in);
  EXPECT_TRUE(dev.CloseDevice());
}

TEST_P(SerialModes, AVanishedLinePanicsWithoutSpinningAndResumesWhenBack) {
  LogRecorder rec;  // outlives the device that logs into it
  CDevRS232 dev;
  rec.attach(dev);
  dev.DeviceProgram(false, 38400, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(portNumber(), GetParam(), 4096, 4096));
  ASSERT_TRUE(pty.send("before"));
  ASSERT_EQ(asString(readBytes(dev, 6, 3000)), "before");

  // The adapter is pulled: its node goes (the number of a closed pty would
  // soon name another test's line), and the line hangs up.
  ASSERT_TRUE(zortest::linkComPort(portNumber(), "/dev/zor-test-unplugged"));
  pty.hangUp();
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 3000));
  EXPECT_FALSE(dev.IsDeviceOpen());
  expectNoSpin(500);  // the device retries now and then and otherwise sleeps
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
  EXPECT_EQ(rec.countEvent(IDS_PANIC), 1u);

  PtyPair second;  // plugged in again
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(zortest::linkComPort(portNumber(), second.path()));
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 3000));
  EXPECT_TRUE(dev.IsDeviceOpen());
  LineSettings line;
  ASSERT_TRUE(second.settings(line));
  EXPECT_EQ(line.rate, 38400u) << "the reopen programs the line again";
  ASSERT_TRUE(second.send("after"));
  EXPECT_EQ(asString(readBytes(dev, 5, 3000)), "after");
  ASSERT_TRUE(dev.WriteBuffer(bytesOf("back"), 4));
  EXPECT_EQ(second.receive(4, 3000), "back");
  dev.CloseDevice();
}

INSTANTIATE_TEST_SUITE_P(Modes, SerialModes, ::testing::Values(0, 3));

}  // namespace
