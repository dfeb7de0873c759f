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

  zor_test::TestEnv env;
  PtyPair pty;
  std::unique_ptr<TtyTransport> tty;
};

TEST_F(TtyTransportTest, BytesGoBothWaysAndAReadEndsAtItsBound) {
  EXPECT_GE(tty->readableDescriptor(), 0);
  DWORD error = 0;
  ASSERT_EQ(tty->write("ping", 4, 1000, &error), 4) << error;
  EXPECT_EQ(pty.receive(4, 5000), "ping");

  // Nothing there: a read takes nothing, at once or after its bound.
  char buf[64];
  EXPECT_EQ(readSome(buf, sizeof buf, 0).count, 0);
  EXPECT_EQ(readSome(buf, sizeof buf, 30).count, 0);

  // A waiting read takes the first bytes that come.
  Outcome waited;
  std::thread reader([&] { waited.count = tty->read(buf, sizeof buf, 10000, &waited.error); });
  ASSERT_TRUE(pty.send("pong"));
  reader.join();
  ASSERT_GT(waited.count, 0) << waited.error;
  std::string got(buf, static_cast<std::size_t>(waited.count));
  ASSERT_TRUE(zor_test::waitUntil(
      [&] {
        Outcome more = readSome(buf, sizeof buf, 100);
        if (more.count > 0) got.append(buf, static_cast<std::size_t>(more.count));
        return got.size() >= 4 || more.count < 0;
      },
      5000));
  EXPECT_EQ(got, "pong");
}

// A cancel ends a waiting transfer of its direction; one that comes before
// the wait ends the next transfer at once, and only that one.
TEST_F(TtyTransportTest, CancelEndsAWaitingReadAndAWaitingWrite) {
  char buf[16];
  Outcome read;
  std::thread reader([&] { read.count = tty->read(buf, sizeof buf, INFINITE, &read.error); });
  tty->cancel(true);
  reader.join();
  EXPECT_EQ(read.count, -1);
  EXPECT_EQ(read.error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(readSome(buf, sizeof buf, 0).count, 0) << "the cancel was spent";

  // A stopped line holds every byte. (A full one does not hold still: the
  // kernel makes room in a pseudo-terminal's queue when it likes, and a
  // waiting write then moves bytes before the cancel comes.)
  std::string block(4096, 'x');
  DWORD error = 0;
  ASSERT_TRUE(tty->escape(SETXOFF));
  ASSERT_EQ(tty->write(block.data(), block.size(), 0, &error), 0) << error;
  Outcome write;
  std::thread writer([&] { write.count = tty->write(block.data(), block.size(), INFINITE, &write.error); });
  tty->cancel(false);
  writer.join();
  EXPECT_EQ(write.count, -1);
  EXPECT_EQ(write.error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(readSome(buf, sizeof buf, 0).count, 0) << "an output cancel leaves reads alone";
}

// The instrument going away ends a waiting read with a general failure; the
// close ends a waiting read too and frees the port for the next open.
TEST_F(TtyTransportTest, AHangUpFailsTransfersAndACloseEndsThem) {
  char buf[16];
  Outcome read;
  std::thread reader([&] { read.count = tty->read(buf, sizeof buf, INFINITE, &read.error); });
  pty.hangUp();
  reader.join();
  EXPECT_EQ(read.count, -1);
  EXPECT_EQ(read.error, ERROR_GEN_FAILURE);
  DWORD error = 0;
  EXPECT_EQ(tty->write("x", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_GEN_FAILURE);

  PtyPair line;
  ASSERT_TRUE(line.ok());
  tty = openTtyTransport(line.path().c_str(), &error);
  ASSERT_NE(tty, nullptr) << error;
  std::thread closed([&] { read.count = tty->read(buf, sizeof buf, INFINITE, &read.error); });
  tty->close();
  closed.join();
  EXPECT_EQ(read.count, -1);
  EXPECT_EQ(tty->readableDescriptor(), -1);
  EXPECT_EQ(tty->write("x", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(tty->purge(PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  zortest::PortHolder other(line.path());
  EXPECT_TRUE(other.locked()) << "the close let the port go";
}

TEST_F(TtyTransportTest, AnOpenPortOrWhatIsNoPortIsRefused) {
  DWORD error = 0;
  EXPECT_EQ(openTtyTransport(pty.path().c_str(), &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  tty.reset();
  {
    zortest::PortHolder other(pty.path());
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(openTtyTransport(pty.path().c_str(), &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << "held by another program";
  }
  std::string file = env.path("not-a-port");
  std::ofstream(file) << "text";
  for (const std::string& name : {file, env.path("missing"), std::string("COM0"), std::string()}) {
    EXPECT_EQ(openTtyTransport(name.c_str(), &error), nullptr) << name;
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << name;
  }
  EXPECT_NE(openTtyTransport(pty.path().c_str(), &error), nullptr) << error;
}

// A channel opened by name reaches the tty row under every spelling of a
// port: its number, a tty's path, a link to one; the row holds the port as
// the serial device does. What is no tty stays with the plain-path row.
TEST_F(TtyTransportTest, PortNamesAndTtyPathsReachTheTtyRow) {
  tty.reset();
  ASSERT_TRUE(zortest::linkComPort(zortest::portNumber(), pty.path()));
  const std::string link = env.path("my-adapter");
  std::filesystem::create_symlink(pty.path(), link);
  const std::string com = "COM" + std::to_string(zortest::portNumber());
  for (const std::string& name : {com, "\\\\.\\" + com, pty.path(), link}) {
    DWORD error = 0;
    std::unique_ptr<Transport> first = openTransport(name.c_str(), true, true, false, &error);
    ASSERT_NE(dynamic_cast<TtyTransport*>(first.get()), nullptr) << name << " " << error;
    EXPECT_EQ(openTransport(pty.path().c_str(), true, true, true, &error), nullptr) << name;
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << name;
  }
  const std::string file = env.path("plain");
  std::ofstream(file) << "text";
  EXPECT_FALSE(isTtyName(file.c_str()));
  DWORD error = 0;
  std::unique_ptr<Transport> plain = openTransport(file.c_str(), true, true, false, &error);
  ASSERT_NE(plain, nullptr) << error;
  EXPECT_EQ(dynamic_cast<TtyTransport*>(plain.get()), nullptr);
}

}  // namespace
