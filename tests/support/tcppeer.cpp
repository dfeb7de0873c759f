#include "support/tcppeer.h"

#include "support/process.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zortest {

void SocatTest::SetUp() {
  if (!haveProgram("socat")) GTEST_SKIP() << "socat is not installed";
  dir = scratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  settings->m_threadGranularity = 2;
  settings->m_ioWriteTimeout = 1000;
}

SocatTest::~SocatTest() { zor::CTcpPipe::s_peerWaitMs = m_peerWait; }

bool isListening(int port) {
  std::ifstream f("/proc/net/tcp");
  std::string line;
  std::getline(f, line);  // heading
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0) return true;
  }
  return false;
}

namespace {

zor::sockaddr_in addressOf(const char* dotted, int port) {
  zor::sockaddr_in a{};
  a.sin_family = zor::AF_INET;
  a.sin_addr.s_addr = zor::inet_addr(dotted);
  a.sin_port = zor::htons(static_cast<std::uint16_t>(port));
  return a;
}

}  // namespace

zor::SOCKET socketFrom(const char* address, int port) {
  zor::SOCKET s = zor::socket(zor::AF_INET, zor::SOCK_STREAM, zor::IPPROTO_TCP);
  zor::sockaddr_in a = addressOf(address, port);
  if (s != zor::INVALID_SOCKET && zor::bind(s, reinterpret_cast<zor::sockaddr*>(&a), sizeof a) != 0) {
    zor::closesocket(s);
    return zor::INVALID_SOCKET;
  }
  return s;
}

bool connectTo(zor::SOCKET s, int port, const char* address) {
  zor::sockaddr_in a = addressOf(address, port);
  return zor::connect(s, reinterpret_cast<zor::sockaddr*>(&a), sizeof a, 2000) == 0;
}

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  unsigned x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 16);
  }
  return v;
}

void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  writeText(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<unsigned char> waitFileBytes(const std::string& path, std::size_t n, int milliseconds) {
  std::string text;
  waitUntil(
      [&] {
        text = readText(path);
        return text.size() >= n;
      },
      milliseconds);
  return {text.begin(), text.end()};
}

SocatClient::SocatClient(const std::string& in, const std::string& out, bool takeCallBack, bool retry) {
  if (takeCallBack)
    m_receiver = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "socat", "-u", "TCP-LISTEN:" + std::to_string(kClientPort) + ",reuseaddr,bind=127.0.0.1",
        "CREATE:" + out});
  if (takeCallBack) waitUntil([] { return isListening(kClientPort); }, 5000);
  std::string target = "TCP:127.0.0.1:" + std::to_string(kServerPort);
  if (retry) target += ",retry=100,interval=0.05";
  m_sender = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{"socat", "-u", "OPEN:" + in + ",ignoreeof", target});
}

void SocatClient::leave() {
  m_sender->stop();
  if (m_receiver) m_receiver->stop();
}

SocatServer::SocatServer(const std::string& in, const std::string& out, bool callBack) {
  m_acceptor = std::make_unique<BackgroundProcess>(std::vector<std::string>{
      "socat", "-u", "TCP-LISTEN:" + std::to_string(kServerPort) + ",reuseaddr,bind=127.0.0.1",
      "CREATE:" + in});
  // The caller must not reach the client before the client reaches us.
  waitUntil([] { return isListening(kServerPort); }, 5000);
  if (callBack)
    m_caller = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "socat", "-u", "OPEN:" + out + ",ignoreeof",
        "TCP:127.0.0.1:" + std::to_string(kClientPort) + ",retry=200,interval=0.05"});
}

}  // namespace zortest
