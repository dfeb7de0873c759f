// "zor remote --headless" as a program: the stored choice served to socat,
// and the signals that stop it. A server lost and back is in test_tcp_relay.cpp.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace zortest;

namespace {

class TcpHeadless : public SocatTest {
protected:
  void SetUp() override {
    SocatTest::SetUp();
    if (IsSkipped()) return;
    program = (std::filesystem::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor").string();
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "the zor program is not built";
  }
  // The stored connection choice the server reads.
  void storeChoice(const std::string& keys) { writeText(file("zor.ini"), "[ZOR.DLL]\n" + keys); }
  std::unique_ptr<BackgroundProcess> startServer(const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{program, "remote", "--headless"};
    args.insert(args.end(), more.begin(), more.end());
    auto p = std::make_unique<BackgroundProcess>(args, file("out.txt"),
                                                 std::vector<std::string>{"ZOR_CONFIG=" + file("zor.ini")});
    waitUntil([] { return isListening(kServerPort); }, 5000);
    return p;
  }

  std::string program;
};

// True when /proc/net/tcp has a socket in this state whose local (or remote)
// end is the hexadecimal address:port, such as "0100007F:9F3D".
bool socketIn(const std::string& state, const std::string& end, bool remote = false) {
  std::ifstream f("/proc/net/tcp");
  std::string line;
  std::getline(f, line);
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    std::string slot, local, peer, st;
    fields >> slot >> local >> peer >> st;
    if (st == state && (remote ? peer : local) == end) return true;
  }
  return false;
}

// Stops the server with the signal and tells how long it took to go.
long stopMs(BackgroundProcess& server, int signal) {
  auto start = std::chrono::steady_clock::now();
  server.stop(signal);
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

}  // namespace

TEST_F(TcpHeadless, WithoutHeadlessOrADisplayItSaysSoAndFails) {
  auto r = runProcess(
      program, {"remote"},
      {{"ZOR_CONFIG", file("zor.ini")}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("window"), std::string::npos) << r.err;
  EXPECT_NE(runProcess(program, {"remote", "--bogus"}).exitCode, 0);
  r = runProcess(program, {"remote", "--headless", "--bind", "nowhere"}, {{"ZOR_CONFIG", file("zor.ini")}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("give --bind the dotted address"), std::string::npos) << r.err;
}

TEST_F(TcpHeadless, ServesTheStoredLoopbackAndPrintsOneLinePerConnectAndLeave) {
  // A stored TCP choice is not served: a server serves a local device.
  storeChoice("runZor NumDev=3\nrunZor Address=127.0.0.1\nrunZor loopback=1\n");
  auto server = startServer();
  ASSERT_TRUE(isListening(kServerPort));
  writeFileBytes(file("up"), {'h', 'i'});
  {
    SocatClient client(file("up"), file("down"));
    EXPECT_EQ(waitFileBytes(file("down"), 2, 5000), (std::vector<unsigned char>{'h', 'i'}));
    client.leave();
  }
  EXPECT_TRUE(waitUntil([&] { return readText(file("out.txt")).find("left") != std::string::npos; }, 5000));
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
  EXPECT_EQ(readText(file("out.txt")), "127.0.0.1 connected\n127.0.0.1 left\n");
  EXPECT_FALSE(isListening(kServerPort));
  server = startServer();
  EXPECT_LT(stopMs(*server, 2), 3000) << "waiting for a client";
  EXPECT_EQ(server->exitCode(), 0) << "SIGINT stops it cleanly too";
}

TEST_F(TcpHeadless, BoundToOneAddressItStopsAtOnceAlsoWhileACallBackIsPending) {
  storeChoice("Connection Timeout=20000\n");
  auto server = startServer({"--bind", "127.0.0.1"});
  EXPECT_TRUE(socketIn("0A", "0100007F:9F3D")) << "listens on 127.0.0.1:40765 only";
  EXPECT_FALSE(socketIn("0A", "00000000:9F3D"));
  // A caller whose call-back port has a full queue: the call back hangs.
  auto deaf = listenerAt("127.0.0.3", kClientPort, 0);
  ASSERT_TRUE(deaf);
  auto filler = connectFrom("127.0.0.4", kClientPort, "127.0.0.3");
  ASSERT_TRUE(filler);
  auto caller = connectFrom("127.0.0.3", kServerPort);
  ASSERT_TRUE(caller);
  ASSERT_TRUE(waitUntil([] { return socketIn("02", "0300007F:9F3E", true); }, 5000)) << "no call back";
  EXPECT_LT(stopMs(*server, 15), 3000);
  EXPECT_EQ(server->exitCode(), 0);
}

TEST_F(TcpHeadless, ServesTheSerialPortThatZorSettingsChoseAtItsSpeed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::filesystem::create_directories(dir + "/ports");
  ASSERT_EQ(::symlink(pty.path().c_str(), (dir + "/ports/COM7").c_str()), 0);
  storeChoice("Max COM Port number=8\n");
  auto chosen = runProcess(program, {"settings", "--port", "COM7", "--baud", "115200", "--parity", "E"},
                           {{"ZOR_CONFIG", file("zor.ini")}});
  ASSERT_EQ(chosen.exitCode, 0) << chosen.err;
  ASSERT_NE(chosen.out.find("Port: COM 7, 115200 8E1"), std::string::npos) << chosen.out;

  auto server = startServer();
  ASSERT_TRUE(isListening(kServerPort));
  LineSettings line;
  ASSERT_TRUE(pty.settings(line));
  EXPECT_EQ(line.rate, 115200u);
  EXPECT_TRUE(line.rtsCts) << "the serial defaults: RTS/CTS on";
  writeFileBytes(file("up"), {'*', 'I', 'D', 'N', '?', '\n'});
  SocatClient client(file("up"), file("down"));
  EXPECT_EQ(pty.receive(6, 5000), "*IDN?\n") << "the instrument hears the client";
  ASSERT_TRUE(pty.send("pty-instrument\n"));
  EXPECT_EQ(waitFileBytes(file("down"), 15, 5000),
            (std::vector<unsigned char>{'p', 't', 'y', '-', 'i', 'n', 's', 't', 'r', 'u', 'm', 'e', 'n', 't',
                                        '\n'}));
  client.leave();
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
}
