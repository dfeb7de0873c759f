// The communications calls on a tty handle, against a real pseudo-terminal.
#include "support/serial_line.h"
#include "zor/platform/comm.h"
#include "zor/platform/platform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

using namespace zor;
using zortest::LineSettings;
using zortest::portNumber;
using zortest::PtyPair;

namespace {

std::string comName() { return "COM" + std::to_string(portNumber()); }

HANDLE openPort(const PtyPair& pty, DWORD attributes = 0) {
  if (!zortest::linkComPort(portNumber(), pty.path())) return INVALID_HANDLE_VALUE;
  return CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, attributes,
                     nullptr);
}

DCB stateOf(HANDLE h) {
  DCB d{};
  d.DCBlength = sizeof d;
  EXPECT_TRUE(GetCommState(h, &d));
  return d;
}

// Reads until count bytes came, bounded in passes.
std::string readAll(HANDLE h, std::size_t count) {
  std::string got;
  for (int pass = 0; pass < 500 && got.size() < count; ++pass) {
    char buf[256];
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) break;
    got.append(buf, n);
    if (n == 0) Sleep(5);
  }
  return got;
}

class SerialComm : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    h = openPort(pty, attributes);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    zortest::unlinkComPort(portNumber());
  }
  DWORD attributes = 0;
  PtyPair pty;
  HANDLE h = INVALID_HANDLE_VALUE;
};

class SerialCommOverlapped : public SerialComm {
protected:
  SerialCommOverlapped() { attributes = FILE_FLAG_OVERLAPPED; }
  void TearDown() override {
    CloseHandle(ovl.hEvent);
    SerialComm::TearDown();
  }
  OVERLAPPED ovl{0, 0, 0, 0, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(SerialComm, OpenedPortIsRawAndReadsReturnAtOnce) {
  LineSettings line;
  ASSERT_TRUE(pty.settings(line));
  EXPECT_TRUE(line.raw);
  EXPECT_FALSE(line.softwareFlow);

  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(h, &t));
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);

  char buf[16];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
}

TEST_F(SerialComm, ReadsWaitForDataUnlessTheyAreToReturnAtOnce) {
  COMMTIMEOUTS wait{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &wait));
  std::thread instrument([&] {
    Sleep(100);
    pty.send("late");
  });
  char buf[16];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  instrument.join();
  EXPECT_GE(n, 1u) << "a waiting read returns with data";
  COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
  readAll(h, 4 - n);
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(h, &back));
  EXPECT_EQ(back.ReadIntervalTimeout, MAXDWORD);
}

TEST_F(SerialComm, BytesTravelBothWays) {
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "to instrument", 13, &n, nullptr));
  EXPECT_EQ(n, 13u);
  EXPECT_EQ(pty.receive(13, 5000), "to instrument");

  std::string binary("\x00\x11\x13\x0d\x0a\xa0\xa1\xff", 8);  // no byte is special on a raw line
  ASSERT_TRUE(pty.send(binary));
  EXPECT_EQ(readAll(h, binary.size()), binary);
}

TEST_F(SerialCommOverlapped, BytesTravelBothWays) {
  DWORD n = 0;
  if (!WriteFile(h, "abc", 3, &n, &ovl)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(h, &ovl, &n, TRUE));
  }
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(pty.receive(3, 5000), "abc");

  // Reads return at once with what is there, nothing included.
  char none[4];
  ASSERT_TRUE(ReadFile(h, none, sizeof none, &n, &ovl));
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(pty.send("xyz"));
  std::string got;
  for (int pass = 0; pass < 500 && got.size() < 3; ++pass) {
    char buf[16];
    n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, &ovl)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      ASSERT_TRUE(GetOverlappedResult(h, &ovl, &n, TRUE));
    }
    got.append(buf, n);
    if (n == 0) Sleep(5);
  }
  EXPECT_EQ(got, "xyz");
}

TEST_F(SerialComm, EveryRateReachesTheLine) {
  for (DWORD rate : {50u, 110u, 300u, 1200u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u, 128000u,
                     230400u, 256000u, 460800u, 1000000u}) {
    DCB d = stateOf(h);
    d.BaudRate = rate;
    ASSERT_TRUE(SetCommState(h, &d)) << rate << " " << GetLastError();
    LineSettings line;
    ASSERT_TRUE(pty.settings(line));
    EXPECT_EQ(line.rate, rate);
    EXPECT_EQ(stateOf(h).BaudRate, rate);
  }
}

TEST_F(SerialComm, StopBitsHandshakeAndDriverFlowReachTheLine) {
  DCB d = stateOf(h);
  d.BaudRate = 19200;
  d.StopBits = TWOSTOPBITS;
  d.fOutxCtsFlow = 1;
  d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  d.fOutX = 1;
  ASSERT_TRUE(SetCommState(h, &d));
  LineSettings line;
  ASSERT_TRUE(pty.settings(line));
  EXPECT_TRUE(line.twoStopBits);
  EXPECT_TRUE(line.rtsCts);
  EXPECT_TRUE(line.softwareFlow);
  DCB back = stateOf(h);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(back.fOutX, 1u);

  d.StopBits = ONESTOPBIT;
  d.fOutxCtsFlow = 0;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.fOutX = 0;
  ASSERT_TRUE(SetCommState(h, &d));
  ASSERT_TRUE(pty.settings(line));
  EXPECT_FALSE(line.twoStopBits);
  EXPECT_FALSE(line.rtsCts);
  EXPECT_FALSE(line.softwareFlow);
  // What termios cannot hold comes back as it was set.
  d.XonLim = 2048;
  d.XoffLim = 6144;
  d.EvtChar = 0x7e;
  ASSERT_TRUE(SetCommState(h, &d));
  back = stateOf(h);
  EXPECT_EQ(back.XonLim, 2048);
  EXPECT_EQ(back.XoffLim, 6144);
  EXPECT_EQ(back.EvtChar, 0x7e);
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
  LineSettings line;
  ASSERT_TRUE(pty.settings(line));
  EXPECT_EQ(line.rate, 4800u);
}

TEST_F(SerialComm, PurgeDropsWhatWaitsAndClearCommErrorCountsIt) {
  ASSERT_TRUE(pty.send("waiting"));
  COMSTAT st{};
  DWORD errors = 0xFFFF;
  for (int pass = 0; pass < 400 && st.cbInQue < 7; ++pass) {
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    if (st.cbInQue < 7) Sleep(5);
  }
  EXPECT_EQ(st.cbInQue, 7u);
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);
  char buf[16];
  DWORD n = 1;
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

TEST_F(SerialComm, AVanishedLineIsAGeneralFailure) {
  pty.hangUp();
  char buf[16];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  DCB d{};
  EXPECT_FALSE(GetCommState(h, &d));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(SerialCommOverlapped, AVanishedLineFailsAPendingRead) {
  pty.hangUp();
  char buf[16];
  DWORD n = 0;
  BOOL ok = ReadFile(h, buf, sizeof buf, &n, &ovl);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ovl, &n, TRUE);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(SerialComm, APortIsOpenedOnceAndHeldPortsAreRefused) {
  // The device-namespace spelling names the same port.
  HANDLE second = CreateFileA(("\\\\.\\" + comName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;

  {
    zortest::PortHolder other(pty.path());
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(
        CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  h = CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

TEST(SerialCommNames, APortThatMapsToNothingIsNotFound) {
  ASSERT_TRUE(zortest::linkComPort(portNumber(), "/nonexistent/tty"));
  EXPECT_EQ(
      CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // A node that is no tty is no port either.
  ASSERT_TRUE(zortest::linkComPort(portNumber(), "/dev/null"));
  EXPECT_EQ(
      CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  zortest::unlinkComPort(portNumber());
}

TEST(SerialCommNames, CommCallsRefuseHandlesThatAreNoPort) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DCB d{};
  EXPECT_FALSE(GetCommState(ev, &d));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(EscapeCommFunction(ev, SETDTR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  COMMTIMEOUTS t{};
  EXPECT_FALSE(GetCommTimeouts(ev, &t));
  CloseHandle(ev);

  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  HANDLE h = openPort(pty);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  zortest::unlinkComPort(portNumber());
}

}  // namespace
