// CDevRfc2217 against three network serial port servers: our own (in this
// process, serving a serial port on a pty), the example server that
// python3-serial ships and ser2net, each serving a pty whose far end the test
// plays: bytes of every value both ways, the line settings reaching the pty,
// the line control answered, and a server killed and back as a panic and a resume.
#include <gtest/gtest.h>

#include "support/background.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include <zor/comm.h>
#include <zor/devrfc2217.h>
#include <zor/devrs232.h>
#include <zor/strings.h>

#include "zor/platform/tcp.h"
#include "zor/remote/socketserver.h"

#include <filesystem>
#include <functional>
#include <memory>

using namespace zor;
using zor_test::LogRecorder;
using zor_test::readBytes;
using zortest::PtyPair;

namespace {

const std::string kPython = "/usr/bin/python3";

int freePort() {
  TcpListener l;
  DWORD error = 0;
  if (!l.open({parseIpv4("127.0.0.1"), 0}, &error)) return 0;
  return l.address().port;
}

std::string allBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

class NetSerialDevice : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_autoresumeTimer = 100;
    settings->m_panicResume = true;
    settings->m_threadGranularity = 0;
    ASSERT_TRUE(pty.ok());
    port = freePort();
    ASSERT_NE(port, 0);
  }

  // What every server must carry: the line programmed at the open, bytes both
  // ways, a rate change, the control lines; then the server killed (stop) and
  // started again (start) is one panic and one resume.
  // linesAnswered: false for a server that leaves requests for a pty's modem lines unanswered.
  void exercise(const std::function<void()>& stop, const std::function<void()>& start,
                bool linesAnswered = true) {
    CDevRfc2217 client("127.0.0.1", static_cast<unsigned short>(port));
    rec.attach(client);
    client.DeviceProgram(false, 38400, 'N', 8, 1);
    ASSERT_TRUE(client.OpenDevice(0, 8192, 8192)) << GetLastError();
    EXPECT_TRUE(zor_test::waitUntil([&] { return rate() == 38400; }, 5000)) << rate();

    const std::string every = allBytes();
    ASSERT_TRUE(client.WriteBuffer(reinterpret_cast<const unsigned char*>(every.data()), 256));
    EXPECT_EQ(pty.receive(256, 5000), every) << "the instrument hears every byte value once";
    ASSERT_TRUE(pty.send(every));
    EXPECT_EQ(zortest::asString(readBytes(client, 256, 5000)), every);

    EXPECT_TRUE(client.ChangeSpeed(57600));
    EXPECT_TRUE(zor_test::waitUntil([&] { return rate() == 57600; }, 5000)) << rate();
    if (linesAnswered) {
      EXPECT_TRUE(client.SetDtr(false) && client.SetRts(false) && client.SetDtr(true) && client.SetRts(true));
      EXPECT_TRUE(client.SetBreak(true) && client.SetBreak(false));
    } else {
      EXPECT_FALSE(client.SetDtr(false)) << "no answer within the bound: false";
    }
    EXPECT_TRUE(client.PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR));

    stop();
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 10000)) << "the server's leaving is a panic";
    start();
    ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 15000));
    ASSERT_TRUE(client.IsDeviceOpen());
    EXPECT_TRUE(zor_test::waitUntil([&] { return rate() == 57600; }, 5000)) << "the rate set is sent again";
    ASSERT_TRUE(client.WriteBuffer(reinterpret_cast<const unsigned char*>("back"), 4));
    EXPECT_EQ(pty.receive(4, 5000), "back");
    ASSERT_TRUE(pty.send("again"));
    EXPECT_EQ(zortest::asString(readBytes(client, 5, 5000)), "again");
    client.CloseDevice();
  }

  // exercise() with the server a program, killed and started again.
  void exerciseProgram(const std::vector<std::string>& command, bool linesAnswered = true) {
    std::unique_ptr<zortest::BackgroundProcess> server;
    const auto start = [&] {
      server = std::make_unique<zortest::BackgroundProcess>(command);
      ASSERT_TRUE(zor_test::waitUntil([&] { return zortest::isListening(port); }, 10000));
    };
    start();
    exercise([&] { server.reset(); }, start, linesAnswered);
  }

  unsigned long rate() {
    zortest::LineSettings s;
    return pty.settings(s) ? s.rate : 0;
  }

  zor_test::TestEnv env;  // the port links live beside its settings file
  zor_test::SettingsScope settings;
  LogRecorder rec;  // outlives the device that logs into it
  PtyPair pty;
  int port = 0;
};

}  // namespace

TEST_F(NetSerialDevice, OurOwnServerOfASerialPort) {
  ASSERT_TRUE(zortest::linkComPort(zortest::portNumber(), pty.path()));
  LogRecorder servedRec;
  CDevRS232 served;
  servedRec.attach(served);
  served.DeviceProgram(false, 9600, 'N', 8, 1);
  ASSERT_TRUE(served.OpenDevice(zortest::portNumber(), 0, 8192, 8192));
  std::unique_ptr<CSocketServer> server;
  const auto start = [&] {
    server = std::make_unique<CSocketServer>(CSocketServer::RFC2217, &served, nullptr);
    ASSERT_TRUE(server->Start(port, parseIpv4("127.0.0.1")));
  };
  start();
  exercise([&] { server.reset(); }, start);
  // The monitors show the payload both ways, never the doubled 0xFF of the wire.
  const std::string every = allBytes();
  EXPECT_EQ(zortest::asString(rec.bytes(LOG_TX)), every + "back");
  EXPECT_EQ(zortest::asString(rec.bytes(LOG_RX)), every + "again");
  EXPECT_EQ(zortest::asString(servedRec.bytes(LOG_SERVER_RCV)), every + "back");
  EXPECT_EQ(zortest::asString(servedRec.bytes(LOG_SERVER_SENT)), every + "again");
  {
    // A rate no line runs at is refused: the port keeps its own, and the client is told so.
    CDevRfc2217 client("127.0.0.1", static_cast<unsigned short>(port));
    ASSERT_TRUE(client.OpenDevice(0, 1024, 1024));
    EXPECT_FALSE(client.ChangeSpeed(0xFFFFFFFFul));
    EXPECT_FALSE(client.ChangeSpeed(0));
    EXPECT_EQ(rate(), 9600u) << "the open sent the programmed rate, and it stays";
    unsigned long lines = 0;
    EXPECT_TRUE(client.GetCommModemStatus(&lines)) << "asked of the server";
  }

  // A server that does not speak the serial-line option fails the open, clearly and in bounded time.
  server = std::make_unique<CSocketServer>(CSocketServer::RAW, &served, nullptr);
  ASSERT_TRUE(server->Start(port, parseIpv4("127.0.0.1")));
  CDevRfc2217 stranger("127.0.0.1", static_cast<unsigned short>(port));
  EXPECT_FALSE(stranger.OpenDevice(0, 1024, 1024));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(stranger.ChangeSpeed(9600)) << "a closed device changes nothing";
  server.reset();
  served.CloseDevice();
}

TEST_F(NetSerialDevice, TheExampleServerOfPythonSerial) {
  if (!std::filesystem::exists(kPython) ||
      !std::filesystem::exists("/usr/share/doc/python3-serial/examples/rfc2217_server.py"))
    GTEST_SKIP() << "python3-serial's example server is not installed";
  exerciseProgram(
      {kPython, ZOR_PEERS_DIR "/loopback_serial_server.py", pty.path(), "-p", std::to_string(port)});
}

// ser2net answers no request for a pty's DTR or RTS (a pty has no such lines).
TEST_F(NetSerialDevice, Ser2net) {
  if (!zortest::haveProgram("ser2net")) GTEST_SKIP() << "ser2net is not installed";
  const std::string conf = env.path("ser2net.yaml");
  zortest::writeText(conf, "connection: &served\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                               std::to_string(port) + "\n  connector: serialdev," + pty.path() +
                               ",9600n81,local\n  options:\n    kickolduser: true\n");
  exerciseProgram({"ser2net", "-n", "-d", "-c", conf, "-P", env.path("ser2net.pid")}, false);
}
