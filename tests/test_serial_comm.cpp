// The serial controls of a tty handle and of the tty transport, against a
// real pseudo-terminal.
// The transport's transfers are test_tty_transport's subject, the bytes of a
// serial device its own tests'.
#include "support/recorder.h"
#include "support/serial_line.h"
#include "zor/platform/comm.h"
#include "zor/platform/platform.h"
#include "zor/platform/tty_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>

using namespace zor;
using zortest::LineSettings;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

std::string comName() { return "COM" + std::to_string(portNumber()); }

// The cases run against both faces of a serial port: the communications
// calls on a handle and the tty transport's members. Failures leave the
// thread's last error set on both.
class HandlePort {
public:
  bool open(const std::string& name) {
    m_h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return m_open = m_h != INVALID_HANDLE_VALUE;
  }
  void close() {
    if (m_open) CloseHandle(m_h);
    m_open = false;
  }
  BOOL getState(DCB* d) { return GetCommState(m_h, d); }
  BOOL setState(DCB* d) { return SetCommState(m_h, d); }
  BOOL getTimeouts(COMMTIMEOUTS* t) { return GetCommTimeouts(m_h, t); }
  BOOL purge(DWORD flags) { return PurgeComm(m_h, flags); }
  BOOL escape(DWORD function) { return EscapeCommFunction(m_h, function); }
  BOOL clearError(DWORD* errors, COMSTAT* st) { return ClearCommError(m_h, errors, st); }
  // What is there now: the count, or -1.
  long readNow(char* buffer, DWORD size) {
    DWORD n = 99;
    return ReadFile(m_h, buffer, size, &n, nullptr) ? static_cast<long>(n) : -1;
  }
  bool writeAll(const char* data, DWORD size) {
    DWORD n = 0;
    return WriteFile(m_h, data, size, &n, nullptr) && n == size;
  }

private:
  HANDLE m_h = INVALID_HANDLE_VALUE;
  bool m_open = false;
};

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

template <class Port>
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
  Port port;
};

using Ports = ::testing::Types<HandlePort, TransportPort>;
TYPED_TEST_SUITE(SerialComm, Ports);

// Every rate, with the other settings on and off in turn, reaches the line
// and reads back; what termios cannot hold reads back as it was set.
TYPED_TEST(SerialComm, SettingsReachTheLineAndReadBack) {
  auto held = [](const DCB& x) {
    return std::tuple(x.BaudRate, x.StopBits, x.fOutxCtsFlow, x.fRtsControl, x.fOutX, x.XonLim, x.EvtChar);
  };
  int i = 0;
  for (DWORD rate : {50u, 110u, 300u, 1200u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u, 128000u,
                     230400u, 256000u, 460800u, 1000000u}) {
    bool on = ++i % 2 == 1;
    DCB d = this->state();
    d.BaudRate = rate;
    d.StopBits = on ? TWOSTOPBITS : ONESTOPBIT;
    d.fOutxCtsFlow = on;
    d.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = on;
    d.XonLim = static_cast<WORD>(rate / 50);
    d.EvtChar = static_cast<char>(i);
    ASSERT_TRUE(this->port.setState(&d)) << rate << " " << GetLastError();
    LineSettings s = this->line();
    EXPECT_EQ(std::tuple(s.rate, s.twoStopBits, s.rtsCts, s.softwareFlow), std::tuple(rate, on, on, on));
    EXPECT_EQ(held(this->state()), held(d));
  }
}

TYPED_TEST(SerialComm, ImpossibleSettingsAreRefusedAndChangeNothing) {
  DCB good = this->state();
  good.BaudRate = 4800;
  ASSERT_TRUE(this->port.setState(&good));
  auto refused = [&](auto change) {
    DCB d = good;
    change(d);
    SetLastError(0);
    EXPECT_FALSE(this->port.setState(&d));
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
  EXPECT_FALSE(this->port.setState(nullptr));
  EXPECT_EQ(this->line().rate, 4800u);
}

// Reads return at once with what is there, nothing included; ClearCommError
// counts what waits and PurgeComm drops it.
TYPED_TEST(SerialComm, ReadsReturnAtOnceAndPurgeDropsWhatWaits) {
  COMMTIMEOUTS t{};
  ASSERT_TRUE(this->port.getTimeouts(&t));
  EXPECT_EQ(std::tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant),
            std::tuple(MAXDWORD, 0u, 0u));
  char buf[16];
  EXPECT_EQ(this->port.readNow(buf, sizeof buf), 0);

  ASSERT_TRUE(this->pty.send("waiting"));
  COMSTAT st{};
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(
      zor_test::waitUntil([&] { return this->port.clearError(&errors, &st) && st.cbInQue == 7; }, 5000));
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(this->port.purge(PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(this->port.clearError(nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);
  EXPECT_EQ(this->port.readNow(buf, sizeof buf), 0);
  EXPECT_FALSE(this->port.purge(0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TYPED_TEST(SerialComm, XoffEscapeHoldsOutputUntilXon) {
  ASSERT_TRUE(this->port.escape(SETXOFF));
  // A stopped line holds a synchronous write until it may go on.
  std::atomic<bool> written{false};
  std::thread writer([&] { written = this->port.writeAll("held", 4); });
  EXPECT_EQ(this->pty.receive(4, 200), "");
  ASSERT_TRUE(this->port.escape(SETXON));
  EXPECT_EQ(this->pty.receive(4, 5000), "held");
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_FALSE(this->port.escape(42));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Reads of a vanished line are the serial device's panic tests' subject.
TYPED_TEST(SerialComm, AVanishedLineIsAGeneralFailure) {
  this->pty.hangUp();
  EXPECT_FALSE(this->port.writeAll("x", 1));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  DCB d{};
  EXPECT_FALSE(this->port.getState(&d));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TYPED_TEST(SerialComm, APortIsOpenedOnceUnderEitherSpelling) {
  const std::string deviceName = "\\\\.\\" + comName();
  TypeParam second;
  EXPECT_FALSE(second.open(deviceName));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  this->port.close();
  EXPECT_FALSE(this->port.purge(PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(this->port.open(deviceName)) << "the close let the port go";
}

}  // namespace
