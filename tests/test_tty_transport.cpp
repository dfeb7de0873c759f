// The tty transport's transfers against a real pseudo-terminal: bytes, the
// read bound, cancels, the hang-up and the close. Its serial controls are
// test_serial_comm's subject.
#include "support/recorder.h"
#include "support/serial_line.h"
#include "zor/platform/transport_openers.h"
#include "zor/platform/tty_transport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

using namespace zor;
using zortest::PtyPair;

namespace {

struct Outcome {
  long count = 0;
  DWORD error = 0;
};

class TtyTransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    DWORD error = 0;
    tty = openTtyTransport(pty.path().c_str(), &error);
    ASSERT_NE(tty, nullptr) << error;
  }
  Outcome readSome(char* buffer, unsigned long size, unsigned long ms) {
    Outcome o;
    o.count = tty->read(buffer, size, ms, &o.error);
    return o;
  }
  // Runs a transfer on a thread while `meanwhile` acts, and returns its outcome.
  template <typename Transfer, typename Act>
  static Outcome inThread(Transfer transfer, Act meanwhile) {
    Outcome o;
    std::thread t([&] { o = transfer(); });
    meanwhile();
    t.join();
    return o;
  }

  zor_test::TestEnv env;
  PtyPair pty;
  std::unique_ptr<TtyTransport> tty;
};

TEST_F(TtyTransportTest, BytesGoBothWaysAndAReadEndsAtItsBound) {
  EXPECT_GE(tty->readableDescriptor(), 0);
  DWORD error = 0;
  ASSERT_EQ(tty->write("ping", 4, 1000, &error), 4) << error;
  EXPECT_EQ(pty.receive(4, 5000), "ping");
  char buf[64];
  EXPECT_EQ(readSome(buf, sizeof buf, 30).count, 0) << "nothing there within the bound";

  // A waiting read takes the first bytes that come.
  Outcome o =
      inThread([&] { return readSome(buf, sizeof buf, 10000); }, [&] { ASSERT_TRUE(pty.send("pong")); });
  ASSERT_GT(o.count, 0) << o.error;
  std::string got(buf, static_cast<std::size_t>(o.count));
  for (int i = 0; i < 50 && got.size() < 4 && (o = readSome(buf, sizeof buf, 100)).count >= 0; ++i)
    got.append(buf, static_cast<std::size_t>(o.count));
  EXPECT_EQ(got, "pong");
}

// A cancel ends a waiting transfer of its direction and is spent by it. A
// stopped line holds every byte. (A full one does not hold still: the kernel
// makes room in a pseudo-terminal's queue when it likes, and a waiting write
// then moves bytes before the cancel comes.)
TEST_F(TtyTransportTest, CancelEndsAWaitingReadAndAWaitingWrite) {
  char buf[16];
  Outcome o = inThread([&] { return readSome(buf, sizeof buf, INFINITE); }, [&] { tty->cancel(true); });
  EXPECT_EQ(std::pair(o.count, o.error), (std::pair<long, DWORD>(-1, ERROR_OPERATION_ABORTED)));
  EXPECT_EQ(readSome(buf, sizeof buf, 0).count, 0) << "the cancel was spent";

  std::string block(4096, 'x');
  ASSERT_TRUE(tty->escape(SETXOFF));
  ASSERT_EQ(tty->write(block.data(), block.size(), 0, &o.error), 0) << o.error;
  o = inThread(
      [&] {
        Outcome w;
        w.count = tty->write(block.data(), block.size(), INFINITE, &w.error);
        return w;
      },
      [&] { tty->cancel(false); });
  EXPECT_EQ(std::pair(o.count, o.error), (std::pair<long, DWORD>(-1, ERROR_OPERATION_ABORTED)));
  EXPECT_EQ(readSome(buf, sizeof buf, 0).count, 0) << "an output cancel leaves reads alone";
}

// The instrument going away ends a waiting read with a general failure (a
// write's is test_serial_comm's); the close ends a waiting read too and
// frees the port for another program.
TEST_F(TtyTransportTest, AHangUpFailsAReadAndACloseEndsOne) {
  char buf[16];
  Outcome o = inThread([&] { return readSome(buf, sizeof buf, INFINITE); }, [&] { pty.hangUp(); });
  EXPECT_EQ(std::pair(o.count, o.error), (std::pair<long, DWORD>(-1, ERROR_GEN_FAILURE)));

  PtyPair line;
  ASSERT_TRUE(line.ok());
  tty = openTtyTransport(line.path().c_str(), &o.error);
  ASSERT_NE(tty, nullptr) << o.error;
  o = inThread([&] { return readSome(buf, sizeof buf, INFINITE); }, [&] { tty->close(); });
  EXPECT_EQ(o.count, -1);
  EXPECT_EQ(tty->readableDescriptor(), -1);
  EXPECT_EQ(tty->write("x", 1, 0, &o.error), -1);
  EXPECT_EQ(o.error, ERROR_INVALID_HANDLE);
  zortest::PortHolder other(line.path());
  EXPECT_TRUE(other.locked()) << "the close let the port go";
}

// A channel opened by name reaches the tty row under every spelling of a
// port: its number, a tty's path, a link to one; the row holds the port as
// the serial device does, and so does another program. What is no tty stays
// with the plain-path row, and the tty opener refuses it.
TEST_F(TtyTransportTest, PortNamesAndTtyPathsReachTheTtyRowAndWhatIsNoPortIsRefused) {
  tty.reset();
  ASSERT_TRUE(zortest::linkComPort(zortest::portNumber(), pty.path()));
  const std::string link = env.path("my-adapter");
  std::filesystem::create_symlink(pty.path(), link);
  const std::string com = "COM" + std::to_string(zortest::portNumber());
  DWORD error = 0;
  for (const std::string& name : {com, "\\\\.\\" + com, pty.path(), link}) {
    std::unique_ptr<Transport> first = openTransport(name.c_str(), true, true, false, &error);
    ASSERT_NE(dynamic_cast<TtyTransport*>(first.get()), nullptr) << name << " " << error;
    EXPECT_EQ(openTransport(pty.path().c_str(), true, true, true, &error), nullptr) << name;
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << name;
  }
  {
    zortest::PortHolder other(pty.path());
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(openTtyTransport(pty.path().c_str(), &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << "held by another program";
  }
  EXPECT_NE(openTtyTransport(pty.path().c_str(), &error), nullptr) << error;

  const std::string file = env.path("plain");
  std::ofstream(file) << "text";
  EXPECT_FALSE(isTtyName(file.c_str()));
  std::unique_ptr<Transport> plain = openTransport(file.c_str(), true, true, false, &error);
  ASSERT_NE(plain, nullptr) << error;
  EXPECT_EQ(dynamic_cast<TtyTransport*>(plain.get()), nullptr);
  for (const std::string& name : {file, env.path("missing"), std::string("COM0"), std::string()}) {
    EXPECT_EQ(openTtyTransport(name.c_str(), &error), nullptr) << name;
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << name;
  }
}

}  // namespace
