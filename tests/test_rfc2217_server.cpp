// "zor remote --protocol rfc2217" and "--protocol raw" as other programs reach
// them: python3-serial's network serial port client against a served serial
// port, a plain socket against raw mode, hostile clients and the zor program.
#include <gtest/gtest.h>

#include "support/background.h"
#include "support/process.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include "zor/platform/tcp.h"
#include "zor/remote/telnet_codec.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace zortest;
namespace tn = zor::telnet;

namespace {

const std::string kPython = "/usr/bin/python3";

// A port no one listens on now.
int freePort() {
  zor::TcpListener l;
  zor::DWORD error = 0;
  if (!l.open({zor::parseIpv4("127.0.0.1"), 0}, &error)) return 0;
  return l.address().port;
}

class NetSerial : public ::testing::Test {
protected:
  void SetUp() override {
    program = (std::filesystem::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor").string();
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "the zor program is not built";
    dir = scratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    port = freePort();
    ASSERT_NE(port, 0);
  }
  std::string file(const char* name) const { return dir + "/" + name; }
  std::vector<std::pair<std::string, std::string>> env() const { return {{"ZOR_CONFIG", file("zor.ini")}}; }
  void storeChoice(const std::string& keys) { writeText(file("zor.ini"), "[ZOR.DLL]\n" + keys); }
  std::unique_ptr<BackgroundProcess> startServer(const std::string& protocol) {
    auto p = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{program, "remote", "--headless", "--protocol", protocol, "--listen-port",
                                 std::to_string(port), "--bind", "127.0.0.1"},
        file("out.txt"), std::vector<std::string>{"ZOR_CONFIG=" + file("zor.ini")});
    EXPECT_TRUE(waitUntil([&] { return isListening(port); }, 5000)) << "the server did not listen";
    return p;
  }
  std::unique_ptr<zor::TcpTransport> connect() {
    zor::DWORD error = 0;
    return zor::TcpTransport::connect({zor::parseIpv4("127.0.0.1"), port}, 3000, &error);
  }
  // Reads from s until pred holds for what came or ms passed; what came.
  static std::string readUntil(zor::TcpTransport& s, const std::function<bool(const std::string&)>& pred,
                               int ms) {
    std::string got;
    std::vector<char> buf(65536);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int reads = 0; reads < 100000 && !pred(got) && std::chrono::steady_clock::now() < end; ++reads) {
      zor::DWORD error = 0;
      long n = s.read(buf.data(), buf.size(), 50, &error);
      if (n < 0) break;
      got.append(buf.data(), static_cast<std::size_t>(n));
    }
    return got;
  }

  std::string program, dir;
  int port = 0;
};

// The pty's far end answers every byte with itself, as a loop-back plug would.
class Echo {
public:
  explicit Echo(PtyPair& pty)
      : m_thread([this, &pty] {
          while (!m_stop) {
            std::string s = pty.receive(65536, 20);
            if (!s.empty()) pty.send(s);
          }
        }) {}
  ~Echo() {
    m_stop = true;
    m_thread.join();
  }

private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace

TEST_F(NetSerial, SerialUrlClientOfPythonSerialDrivesAServedSerialPort) {
  if (!haveProgram("socat") || !std::filesystem::exists(kPython) ||
      runProcess(kPython, {"-c", "import serial.rfc2217"}).exitCode != 0)
    GTEST_SKIP() << "python3-serial is not installed";
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::filesystem::create_directories(dir + "/ports");
  ASSERT_EQ(::symlink(pty.path().c_str(), (dir + "/ports/COM7").c_str()), 0);
  storeChoice("Max COM Port number=8\nThread granularity=0\n");
  ASSERT_EQ(runProcess(program, {"settings", "--port", "COM7", "--baud", "19200"}, env()).exitCode, 0);
  auto server = startServer("rfc2217");
  {
    Echo echo(pty);
    auto r = runProcess(kPython, {ZOR_PEERS_DIR "/serial_url_client.py", std::to_string(port)}, {}, 90000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("settings sent"), std::string::npos);
  }
  LineSettings line;
  ASSERT_TRUE(pty.settings(line));
  EXPECT_EQ(line.rate, 57600u) << "the client's rate reached the port";
  EXPECT_TRUE(line.twoStopBits);
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
  EXPECT_EQ(readText(file("out.txt")), "127.0.0.1 connected\n127.0.0.1 left\n");
}

TEST_F(NetSerial, RawModeEchoesAMebibyteThroughALoopbackToAPlainSocket) {
  if (!std::filesystem::exists(kPython)) GTEST_SKIP() << "no " << kPython;
  storeChoice("runZor NumDev=3\nrunZor loopback=1\nThread granularity=0\n");
  auto server = startServer("raw");
  const char* script = R"(
import socket, sys, threading
data = bytes((i * 13 + (i >> 9)) & 0xFF for i in range(1 << 20))
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
t = threading.Thread(target=s.sendall, args=(data,))
t.start()
got = bytearray()
while len(got) < len(data):
    chunk = s.recv(65536)
    if not chunk:
        break
    got += chunk
t.join()
s.close()
sys.exit(0 if bytes(got) == data else "%d bytes came back" % len(got))
)";
  auto r = runProcess(kPython, {"-c", script, std::to_string(port)}, {}, 60000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
  EXPECT_EQ(readText(file("out.txt")), "127.0.0.1 connected\n127.0.0.1 left\n");
}

TEST_F(NetSerial, HostileClientsGetClearAnswersAndLoseTheServerNothingThenTheProgramIsServed) {
  storeChoice("runZor NumDev=3\nrunZor loopback=1\nThread granularity=0\n");
  auto server = startServer("rfc2217");
  const auto sub = [](std::initializer_list<std::uint8_t> body) {
    tn::Bytes b(body), out;
    tn::appendSub(out, tn::OPT_COM_PORT, b.data(), b.size());
    return std::string(out.begin(), out.end());
  };
  const auto send = [](zor::TcpTransport& s, const std::string& bytes) {
    zor::DWORD error = 0;
    return s.writeAll(bytes.data(), static_cast<unsigned long>(bytes.size()), &error);
  };
  const auto has = [](const std::string& what) {
    return [what](const std::string& got) { return got.find(what) != std::string::npos; };
  };
  {
    auto c = connect();
    ASSERT_TRUE(c);
    // Only IAC bytes: each pair is one 0xFF for the device, which the loopback sends back doubled.
    ASSERT_TRUE(send(*c, std::string(4000, '\xff')));
    std::string got = readUntil(
        *c, [](const std::string& g) { return g.size() >= 4000 + 12; }, 5000);
    EXPECT_NE(got.find(std::string(4000, '\xff')), std::string::npos);
    // Rates of 0 (a question) and 2^32-1, a data size of 9: the settings in force are answered.
    ASSERT_TRUE(send(*c, sub({1, 0, 0, 0, 0}) + sub({1, 0xFF, 0xFF, 0xFF, 0xFF}) + sub({2, 9}) +
                             sub({12, 1}) + sub({1, 0, 1, 0xC2, 0})));
    const std::string rate9600 = sub({101, 0, 0, 0x25, 0x80}), size8 = sub({102, 8}),
                      rate115200 = sub({101, 0, 1, 0xC2, 0});
    got = readUntil(*c, has(rate115200), 5000);
    EXPECT_EQ(got, rate9600 + rate9600 + size8 + sub({112, 1}) + rate115200);
    // The device's bytes held back while the client suspends them, and sent on its resume.
    ASSERT_TRUE(send(*c, sub({8}) + "held" + sub({9})));
    got = readUntil(
        *c, [&](const std::string& g) { return has("held")(g) && has(sub({109}))(g); }, 5000);
    EXPECT_EQ(got.size(), 4 + 2 * sub({108}).size());
    EXPECT_NE(got.find(sub({108})), std::string::npos);
    // 10,000 option requests: each refused once, and the server still answers after them.
    std::string requests;
    for (int i = 0; i < 10000; ++i) requests += std::string{'\xff', '\xfd', static_cast<char>(24 + i % 8)};
    ASSERT_TRUE(send(*c, requests + sub({2, 0})));
    got = readUntil(*c, has(size8), 10000);
    EXPECT_EQ(got.size(), 30000u + size8.size());
    // A second client is told it waits in vain, and the first is served on.
    auto second = connect();
    ASSERT_TRUE(second);
    EXPECT_NE(readUntil(*second, has("\n"), 5000).find("another client"), std::string::npos);
    ASSERT_TRUE(send(*c, "ok"));
    EXPECT_EQ(readUntil(*c, has("ok"), 5000), "ok");
  }
  {
    // An unterminated sub-negotiation: bounded, then the connection is closed.
    auto c = connect();
    ASSERT_TRUE(c);
    readUntil(*c, has(std::string{'\xff', '\xfd', ','}), 5000);  // the greeting
    EXPECT_TRUE(send(*c, "\xff\xfa," + std::string(2000, 'a')));
    EXPECT_TRUE(waitUntil([&] { return c->peerHasLeft(); }, 5000));
  }
  {
    // A client that never reads while the device floods it: it holds the server until it goes.
    auto c = connect();
    ASSERT_TRUE(c);
    const std::string block(65536, 'f');
    for (int i = 0; i < 128; ++i) {
      zor::DWORD error = 0;
      if (c->write(block.data(), block.size(), 100, &error) <= 0) break;
    }
  }
  const auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  // The flooding client's bytes are dropped once it has gone, and the server is free again.
  ASSERT_TRUE(waitUntil([&] { return count(readText(file("out.txt")), "left") == 3; }, 10000))
      << readText(file("out.txt"));
  auto c = connect();
  ASSERT_TRUE(c);
  // What the flood left in the rings goes at the client's purge; what the loopback itself
  // still holds comes first, then the client is served as any other.
  ASSERT_TRUE(send(*c, sub({12, 3})));
  EXPECT_TRUE(readUntil(*c, has(sub({112, 3})), 5000).size() >= 6);
  ASSERT_TRUE(send(*c, "again"));
  std::string got = readUntil(*c, has("again"), 60000);
  EXPECT_TRUE(got.size() >= 5 && got.compare(got.size() - 5, 5, "again") == 0) << got.size() << " bytes";
  c.reset();
  // The zor program itself as a client, opening the served port as the RFC2217 kind.
  const std::vector<std::pair<std::string, std::string>> client{{"ZOR_CONFIG", file("client.ini")}};
  auto bad = runProcess(program, {"settings", "--port", "RFC2217", "--address", "nowhere"}, client);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("--address \"nowhere\" does not fit --port RFC2217"), std::string::npos) << bad.err;
  const std::string query = "*IDN?\xff\n";
  writeText(file("in.txt"), query);
  auto r = runProcess(
      "/bin/sh",
      {"-c", "exec " + shellQuote(program) +
                 " run --console --port RFC2217 --address 127.0.0.1:" + std::to_string(port) +
                 " --idle-ms 300 <" + shellQuote(file("in.txt")) + " >" + shellQuote(file("out.txt.client"))},
      client);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readText(file("out.txt.client")), query) << "the loopback answers through the served port";
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
  EXPECT_NE(readText(file("out.txt")).find("127.0.0.1 turned away: 127.0.0.1 is being served\n"),
            std::string::npos);
}
