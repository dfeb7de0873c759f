// The tty transport's serial controls against an emulated USB serial adapter
// (support/emulated_adapter.h): what a pseudo-terminal cannot show (parity,
// data bits, modem lines, break, error counters) as its driver sees it. Runs
// only under umockdev's preload (its own ctest entry).
#include "support/emulated_adapter.h"
#include "zor/platform/tty_transport.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV

using namespace zor;
using zortest::EmulatedAdapter;

namespace {

TEST(EmulatedTty, TheControlsReachTheDriver) {
  if (!zortest::preloaded()) GTEST_SKIP() << "needs umockdev's preload (the tty_umockdev test entry)";
  EmulatedAdapter adapter;
  ASSERT_TRUE(adapter.ok());
  DWORD error = 0;
  auto tty = openTtyTransport(zortest::kNode, &error);
  ASSERT_NE(tty, nullptr) << error;
  EXPECT_EQ(adapter.state().tio.c_lflag & (ICANON | ECHO), 0u) << "raw line";

  // Every parity, data size and stop bit count, at rates termios names none for.
  struct Line {
    DWORD rate;
    BYTE parity, size, stop;
    tcflag_t flags;
  };
  for (const Line& l : {Line{14400, EVENPARITY, 7, TWOSTOPBITS, PARENB | CS7 | CSTOPB},
                        Line{56000, ODDPARITY, 8, ONESTOPBIT, PARENB | PARODD | CS8},
                        Line{128000, MARKPARITY, 6, TWOSTOPBITS, PARENB | PARODD | CMSPAR | CS6 | CSTOPB},
                        Line{250000, SPACEPARITY, 5, ONESTOPBIT, PARENB | CMSPAR | CS5},
                        Line{9600, NOPARITY, 8, ONESTOPBIT, CS8}}) {
    DCB d{};
    ASSERT_TRUE(tty->getState(&d));
    d.BaudRate = l.rate;
    d.Parity = l.parity;
    d.ByteSize = l.size;
    d.StopBits = l.stop;
    ASSERT_TRUE(tty->setState(&d)) << GetLastError();
    termios2 t = adapter.state().tio;
    EXPECT_EQ(t.c_cflag & (CBAUD | PARENB | PARODD | CMSPAR | CSIZE | CSTOPB), BOTHER | l.flags) << l.rate;
    EXPECT_EQ(std::pair(t.c_ispeed, t.c_ospeed), std::pair(l.rate, l.rate));
  }

  adapter.change([](auto& s) { s.events.clear(); });
  for (DWORD f : {CLRRTS, CLRDTR, SETDTR}) ASSERT_TRUE(tty->escape(f)) << f;
  ASSERT_TRUE(tty->setBreak());
  ASSERT_TRUE(tty->clearBreak());
  ASSERT_TRUE(tty->purge(PURGE_RXCLEAR));
  EXPECT_EQ(adapter.state().events,
            (std::vector<std::string>{"RTS-", "DTR-", "DTR+", "BREAK+", "BREAK-", "FLUSH"}));
  EXPECT_EQ(adapter.state().outputs, TIOCM_DTR);

  adapter.change([](auto& s) {
    s.inputs = TIOCM_DSR | TIOCM_RNG;
    s.count.overrun += 3;
    s.count.brk += 1;
  });
  DWORD modem = 0;
  ASSERT_TRUE(tty->modemStatus(&modem));
  EXPECT_EQ(modem, MS_DSR_ON | MS_RING_ON);
  DWORD errors = 0;
  ASSERT_TRUE(tty->clearError(&errors, nullptr));
  EXPECT_EQ(errors, CE_OVERRUN | CE_BREAK) << "counted from the open on";
  ASSERT_TRUE(tty->clearError(&errors, nullptr));
  EXPECT_EQ(errors, 0u);

  // Pulled out: everything fails as the line's general failure.
  adapter.change([](auto& s) { s.gone = true; });
  char buf[8];
  EXPECT_EQ(tty->read(buf, sizeof buf, 0, &error), -1);
  EXPECT_EQ(error, ERROR_GEN_FAILURE);
  EXPECT_EQ(tty->write("x", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_GEN_FAILURE);
  EXPECT_FALSE(tty->escape(SETRTS));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  tty->close();
}

}  // namespace

#else

TEST(EmulatedTty, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
