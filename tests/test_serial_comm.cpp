// The communications calls on a tty handle, against a real pseudo-terminal.
// The bytes themselves are the serial device's tests' subject.
#include "support/recorder.h"
#include "support/serial_line.h"
#include "zor/platform/comm.h"
#include "zor/platform/platform.h"

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

HANDLE openPort(const std::string& name, DWORD attributes = 0) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, attributes,
                     nullptr);
}

DCB stateOf(HANDLE h) {
  DCB d{};
  d.DCBlength = sizeof d;
  EXPECT_TRUE(GetCommState(h, &d));
  return d;
}

class SerialComm : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(zortest::linkComPort(portNumber(), pty.path()));
    h = openPort(comName());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  LineSettings line() {
    LineSettings s;
    EXPECT_TRUE(pty.settings(s));
    return s;
  }
  zor_test::TestEnv env;  // the port links live beside its settings file
  PtyPair pty;
  HANDLE h = INVALID_HANDLE_VALUE;
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
    DCB d = stateOf(h);
    d.BaudRate = rate;
    d.StopBits = on ? TWOSTOPBITS : ONESTOPBIT;
    d.fOutxCtsFlow = on;
    d.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = on;
    d.XonLim = static_cast<WORD>(rate / 50);
    d.EvtChar = static_cast<char>(i);
    ASSERT_TRUE(SetCommState(h, &d)) << rate << " " << GetLastError();
    LineSettings s = line();
    EXPECT_EQ(std::tuple(s.rate, s.twoStopBits, s.rtsCts, s.softwareFlow), std::tuple(rate, on, on, on));
    EXPECT_EQ(held(stateOf(h)), held(d));
  }
}

TEST_F(SerialComm, ImpossibleSettingsAreRefusedAndChangeNothing) {
  DCB good = stateOf(h);
  good.BaudRate = 4800;
  ASSERT_TRUE(SetCommState(h, &good));
  auto refused = [&](auto change) {
    DCB d = good;
    change(d);
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, &d));
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
  EXPECT_FALSE(SetCommState(h, nullptr));
  EXPECT_EQ(line().rate, 4800u);
}

// Reads return at once with what is there, nothing included; ClearCommError
// counts what waits and PurgeComm drops it.
TEST_F(SerialComm, ReadsReturnAtOnceAndPurgeDropsWhatWaits) {
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(h, &t));
  EXPECT_EQ(std::tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant),
            std::tuple(MAXDWORD, 0u, 0u));
  char buf[16];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);

  ASSERT_TRUE(pty.send("waiting"));
  COMSTAT st{};
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(zor_test::waitUntil([&] { return ClearCommError(h, &errors, &st) && st.cbInQue == 7; }, 5000));
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);
  n = 1;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(PurgeComm(h, 0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialComm, XoffEscapeHoldsOutputUntilXon) {
  ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
  // A stopped line holds a synchronous write until it may go on.
  std::atomic<bool> written{false};
  std::thread writer([&] {
    DWORD n = 0;
    written = WriteFile(h, "held", 4, &n, nullptr) && n == 4;
  });
  EXPECT_EQ(pty.receive(4, 200), "");
  ASSERT_TRUE(EscapeCommFunction(h, SETXON));
  EXPECT_EQ(pty.receive(4, 5000), "held");
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_FALSE(EscapeCommFunction(h, 42));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Reads of a vanished line are the serial device's panic tests' subject.
TEST_F(SerialComm, AVanishedLineIsAGeneralFailure) {
  pty.hangUp();
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  DCB d{};
  EXPECT_FALSE(GetCommState(h, &d));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(SerialComm, APortIsOpenedOnceUnderEitherSpelling) {
  const std::string deviceName = "\\\\.\\" + comName();
  EXPECT_EQ(openPort(deviceName), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(h);
  EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  h = openPort(deviceName);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "the close let the port go";
}

}  // namespace
