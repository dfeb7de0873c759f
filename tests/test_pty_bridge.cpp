// CPtyBridge with python3-serial as the client: a mebibyte both ways through a
// loopback with a slow reader, a hundred reopens, the client's line settings
// on a served serial port through that port's panic, and the link's claims.
#include <zor/zor.h>

#include "support/background.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace zor;
using namespace zor_test;

namespace {

const char* const kPython = "/usr/bin/python3";

bool havePySerial() { return zortest::runProcess(kPython, {"-c", "import serial"}, {}, 20000).exitCode == 0; }

class PtyBridgeTest : public ::testing::Test {
protected:
  // Runs a python3-serial client on the link; its output, or "exit N: ...".
  std::string client(const std::string& script, const std::string& link, int timeoutMs = 60000) {
    const std::string file = env.path("client.py");
    zortest::writeText(file, "import serial, sys, threading, time\nlink = sys.argv[1]\n" + script);
    auto r = zortest::runProcess(kPython, {file, link}, {}, timeoutMs);
    return r.exitCode == 0 ? r.out : "exit " + std::to_string(r.exitCode) + ": " + r.out + r.err;
  }
  TestEnv env;
  SettingsScope settings;
};

TEST_F(PtyBridgeTest, AMebibyteGoesThroughALoopbackWholeToASlowReaderAndReopensAreServed) {
  if (!havePySerial()) GTEST_SKIP() << "python3-serial is not installed";
  CDevNull dev;
  dev.Loopback(true);
  ASSERT_TRUE(dev.OpenDevice(0, 4096, 4096));
  CPtyBridge bridge;
  const std::string link = env.path("port");
  ASSERT_TRUE(bridge.Start(dev, link.c_str())) << bridge.ErrorText();
  EXPECT_EQ(bridge.LinkPath(), link);
  EXPECT_EQ(bridge.SlavePath().rfind("/dev/pts/", 0), 0u) << bridge.SlavePath();

  // The writer fills the pty, the device's rings and its queue while the
  // reader sleeps, then the reader takes the bytes in pieces of 61.
  EXPECT_EQ(client("data = bytes((i * 7 + i // 251) & 0xFF for i in range(1 << 20))\n"
                   "s = serial.Serial(link, 115200, timeout=10)\n"
                   "t = threading.Thread(target=s.write, args=(data,))\n"
                   "t.start()\n"
                   "time.sleep(0.5)\n"
                   "got = bytearray()\n"
                   "while len(got) < len(data):\n"
                   "    piece = s.read(min(61, len(data) - len(got)))\n"
                   "    if not piece: break\n"
                   "    got += piece\n"
                   "    if len(got) % 65536 < 61: time.sleep(0.02)\n"
                   "t.join(10)\n"
                   "print(len(got), got == data)\n",
                   link),
            "1048576 True\n");
  EXPECT_EQ(dev.GetRxOverrunCount(), 0u);

  // Each session gets its own line back, and nothing of the one before.
  EXPECT_EQ(client("for i in range(100):\n"
                   "    with serial.Serial(link, 9600, timeout=5) as s:\n"
                   "        line = b'line %d\\n' % i\n"
                   "        s.write(line)\n"
                   "        got = s.read_until(b'\\n')\n"
                   "        if got != line: sys.exit('session %d got %r' % (i, got))\n"
                   "print('ok')\n",
                   link),
            "ok\n");
  bridge.Stop();
  EXPECT_FALSE(bridge.IsRunning());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "the link goes with it";
}

TEST_F(PtyBridgeTest, TheClientsLineReachesAServedSerialPortAndItsPanicIsAPause) {
  if (!havePySerial()) GTEST_SKIP() << "python3-serial is not installed";
  settings->m_autoresumeTimer = 20;
  zortest::PtyPair line;
  ASSERT_TRUE(line.ok());
  const int port = zortest::portNumber();
  ASSERT_TRUE(zortest::linkComPort(port, line.path()));
  LogRecorder rec;  // outlives the device, which logs until its close
  CDevRS232 dev;
  rec.attach(dev);
  dev.DeviceProgram(false, 9600, 'N', 8, 1);
  ASSERT_TRUE(dev.OpenDevice(port, 0, 4096, 4096));
  CPtyBridge bridge;
  const std::string link = env.path("port");
  ASSERT_TRUE(bridge.Start(dev, link.c_str())) << bridge.ErrorText();

  const std::string script = env.path("line.py"), out = env.path("line.out");
  zortest::writeText(script,
                     "import serial, sys\n"
                     "s = serial.Serial(sys.argv[1], 9600, timeout=10)\n"
                     "s.baudrate = 19200; s.parity = 'O'; s.stopbits = 2; s.rtscts = True\n"
                     "if s.read(1) != b'!': sys.exit(3)\n"
                     "s.rtscts = False; s.parity = 'N'\n"
                     "s.write(b'done\\n'); s.flush()\n"
                     "if s.read(1) != b'?': sys.exit(4)\n"
                     "s.write(b'again\\n'); s.flush()\n"
                     "if s.read(1) != b'.': sys.exit(5)\n"
                     "print('ok')\n");
  zortest::BackgroundProcess py({kPython, script, link}, out);
  ASSERT_TRUE(py.started());

  // Settings alone, no byte sent: the pty's own report carries them.
  zortest::LineSettings seen;
  EXPECT_TRUE(waitUntil(
      [&] {
        return line.settings(seen) && seen.rate == 19200 && seen.twoStopBits && seen.rtsCts && seen.oddParity;
      },
      10000))
      << seen.rate << " " << seen.twoStopBits << seen.rtsCts << seen.oddParity;
  DCB dcb{};
  ASSERT_TRUE(dev.GetCommState(&dcb));
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  ASSERT_TRUE(line.send("!"));
  EXPECT_EQ(line.receive(5, 10000), "done\n");
  ASSERT_TRUE(line.settings(seen));
  EXPECT_FALSE(seen.rtsCts);
  EXPECT_FALSE(seen.oddParity);
  EXPECT_EQ(seen.rate, 19200u);

  // The port is pulled and plugged in again: the client waits, still open.
  ASSERT_TRUE(zortest::linkComPort(port, "/dev/zor-test-unplugged"));
  line.hangUp();
  ASSERT_TRUE(waitUntil([&] { return !dev.IsDeviceOpen(); }, 10000));
  zortest::PtyPair second;
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(zortest::linkComPort(port, second.path()));
  // Not the open handle: the reopen purges the line after that, and a byte
  // sent in between is rightly gone.
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 10000));
  ASSERT_TRUE(second.settings(seen));
  EXPECT_EQ(seen.rate, 19200u) << "the resumed port runs at the client's rate";
  ASSERT_TRUE(second.send("?"));
  EXPECT_EQ(second.receive(6, 10000), "again\n");
  ASSERT_TRUE(second.send("."));
  EXPECT_TRUE(waitUntil([&] { return py.exited(); }, 10000));
  EXPECT_EQ(py.exitCode(), 0);
  EXPECT_EQ(zortest::readText(out), "ok\n");
}

TEST_F(PtyBridgeTest, ALinkIsMadeOnlyWhereNoFileAndNoOtherBridgeIs) {
  CDevNull dev;
  CPtyBridge bridge, other;
  const std::string link = env.path("port"), file = env.path("file");
  EXPECT_FALSE(bridge.Start(dev, link.c_str()));
  EXPECT_NE(bridge.ErrorText().find("not open"), std::string::npos) << bridge.ErrorText();
  ASSERT_TRUE(dev.OpenDevice(0, 1024, 1024));

  zortest::writeText(file, "mine");
  EXPECT_FALSE(bridge.Start(dev, file.c_str()));
  EXPECT_NE(bridge.ErrorText().find("no symbolic link"), std::string::npos) << bridge.ErrorText();
  EXPECT_EQ(zortest::readText(file), "mine");
  EXPECT_FALSE(bridge.IsRunning());

  // A link left by a bridge that died is taken over; a running one's is not.
  std::filesystem::create_symlink("/dev/null", link);
  ASSERT_TRUE(bridge.Start(dev, link.c_str())) << bridge.ErrorText();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), bridge.SlavePath());
  EXPECT_FALSE(other.Start(dev, link.c_str()));
  EXPECT_NE(other.ErrorText().find("another running bridge"), std::string::npos) << other.ErrorText();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), bridge.SlavePath());
  EXPECT_FALSE(bridge.Start(dev, nullptr)) << "one bridge at a time";
  bridge.Stop();
  ASSERT_TRUE(other.Start(dev, link.c_str())) << other.ErrorText();
  other.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  EXPECT_FALSE(std::filesystem::exists(link + ".lock"));
}

}  // namespace
