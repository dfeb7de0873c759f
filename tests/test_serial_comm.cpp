// The serial controls of the tty transport, against a real pseudo-terminal.
// The transport's transfers are test_tty_transport's subject, the bytes of a
// serial device its own tests'.
#include "support/recorder.h"
#include "support/serial_line.h"
#include "zor/platform/platform.h"
#include "zor/platform/tty_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

using namespace zor;
using zortest::LineSettings;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

std::string comName() { return "COM" + std::to_string(portNumber()); }

// The tty transport's serial controls, as a serial device uses them. Failures
// leave the thread's last error set.
class TransportPort {
public:
  bool open(const std::string& name) {
    DWORD error = 0;
    m_t = openTtyTransport(name.c_str(), &error);
    SetLastError(error);
    return m_t != nullptr;
  }
  void close() {
    if (m_t) m_t->close();
  }
  BOOL getState(DCB* d) { return m_t->getState(d); }
  BOOL setState(DCB* d) { return m_t->setState(d); }
  BOOL getTimeouts(COMMTIMEOUTS* t) { return m_t->getTimeouts(t); }
  BOOL purge(DWORD flags) { return m_t->purge(flags); }
  BOOL escape(DWORD function) { return m_t->escape(function); }
  BOOL clearError(DWORD* errors, COMSTAT* st) { return m_t->clearError(errors, st); }
  long readNow(char* buffer, DWORD size) { return done(m_t->read(buffer, size, 0, &m_error)); }
  bool writeAll(const char* data, DWORD size) {
    return done(m_t->write(data, size, INFINITE, &m_error)) == static_cast<long>(size);
  }

private:
  long done(long n) {
    if (n < 0) SetLastError(m_error);
    return n;
  }
  std::unique_ptr<TtyTransport> m_t;
  DWORD m_error = 0;
};

class SerialComm : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
    ASSERT_TRUE(port.open(comName())) << GetLastError();
  }
  void TearDown() override { port.close(); }
  LineSettings line() {
    LineSettings s;
    EXPECT_TRUE(pty.settings(s));
    return s;
  }
  DCB state() {
    DCB d{};
    d.DCBlength = sizeof d;
    EXPECT_TRUE(port.getState(&d));
    return d;
  }
  zor_test::TestEnv env;  // the port links live beside its settings file
  PtyPair pty;
  TransportPort port;
};

// Every rate, with the other settings on and off in turn, reaches the line
// and reads back; what termios cannot hold reads back as it was set.
TEST_F(SerialComm, SettingsReachTheLineAndReadBack) {
  auto held = [](const DCB& x) {
    return std::tuple(x.BaudRate, x.StopBits, x.fOutxCtsFlow, x.fRtsControl, x.fOutX, x.XonLim, x.EvtChar);
  };
  int i = 0;
  for (DWORD rate : {50u, 110u, 300u, 1200u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u, 128000u,
                     230400u, 256000u, 460800u, 1000000u}) {
    bool on = ++i % 2 == 1;
    DCB d = state();
    d.BaudRate = rate;
    d.StopBits = on ? TWOSTOPBITS : ONESTOPBIT;
    d.fOutxCtsFlow = on;
    d.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = on;
    d.XonLim = static_cast<WORD>(rate / 50);
    d.EvtChar = static_cast<char>(i);
    ASSERT_TRUE(port.setState(&d)) << rate << " " << GetLastError();
    LineSettings s = line();
    EXPECT_EQ(std::tuple(s.rate, s.twoStopBits, s.rtsCts, s.softwareFlow), std::tuple(rate, on, on, on));
    EXPECT_EQ(held(state()), held(d));
  }
}

TEST_F(SerialComm, ImpossibleSettingsAreRefusedAndChangeNothing) {
  DCB good = state();
  good.BaudRate = 4800;
  ASSERT_TRUE(port.setState(&good));
  auto refused = [&](auto change) {
    DCB d = good;
    change(d);
    SetLastError(0);
    EXPECT_FALSE(port.setState(&d));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  };
  refused([](DCB& d) { d.BaudRate = 0; });
  refused([](DCB& d) { d.ByteSize = 4; });
  refused([](DCB& d) { d.ByteSize = 9; });
  refused([](DCB& d) { d.Parity = 5; });
  refused([](DCB& d) { d.StopBits = 3; });
  refused([](DCB& d) {
    d.fOutX = 1;
    d.XonChar = d.XoffChar = 0x11;
  });
  EXPECT_FALSE(port.setState(nullptr));
  EXPECT_EQ(line().rate, 4800u);
}

// Reads return at once with what is there, nothing included; ClearCommError
// counts what waits and PurgeComm drops it.
TEST_F(SerialComm, ReadsReturnAtOnceAndPurgeDropsWhatWaits) {
  COMMTIMEOUTS t{};
  ASSERT_TRUE(port.getTimeouts(&t));
  EXPECT_EQ(std::tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant),
            std::tuple(MAXDWORD, 0u, 0u));
  char buf[16];
  EXPECT_EQ(port.readNow(buf, sizeof buf), 0);

  ASSERT_TRUE(pty.send("waiting"));
  COMSTAT st{};
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(zor_test::waitUntil([&] { return port.clearError(&errors, &st) && st.cbInQue == 7; }, 5000));
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(port.purge(PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(port.clearError(nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);
  EXPECT_EQ(port.readNow(buf, sizeof buf), 0);
  EXPECT_FALSE(port.purge(0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialComm, XoffEscapeHoldsOutputUntilXon) {
  ASSERT_TRUE(port.escape(SETXOFF));
  // A stopped line holds a synchronous write until it may go on.
  std::atomic<bool> written{false};
  std::thread writer([&] { written = port.writeAll("held", 4); });
  EXPECT_EQ(pty.receive(4, 200), "");
  ASSERT_TRUE(port.escape(SETXON));
  EXPECT_EQ(pty.receive(4, 5000), "held");
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_FALSE(port.escape(42));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Reads of a vanished line are the serial device's panic tests' subject.
TEST_F(SerialComm, AVanishedLineIsAGeneralFailure) {
  pty.hangUp();
  EXPECT_FALSE(port.writeAll("x", 1));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  DCB d{};
  EXPECT_FALSE(port.getState(&d));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(SerialComm, APortIsOpenedOnceUnderEitherSpelling) {
  const std::string deviceName = "\\\\.\\" + comName();
  TransportPort second;
  EXPECT_FALSE(second.open(deviceName));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  port.close();
  EXPECT_FALSE(port.purge(PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(port.open(deviceName)) << "the close let the port go";
}

}  // namespace
