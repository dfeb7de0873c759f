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

std::unique_ptr<zor::TcpListener> listenerAt(const char* address, int port, int backlog) {
  auto listener = std::make_unique<zor::TcpListener>();
  zor::DWORD error = 0;
  if (!listener->open({zor::parseIpv4(address), port}, &error, backlog)) return nullptr;
  return listener;
}

std::unique_ptr<zor::TcpTransport> connectFrom(const char* from, int port, const char* to) {
  zor::DWORD error = 0;
  return zor::TcpTransport::connect({zor::parseIpv4(to), port}, 2000, &error, zor::parseIpv4(from));
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
