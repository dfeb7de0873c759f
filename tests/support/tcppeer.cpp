#include "support/tcppeer.h"

#include "support/process.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace zortest {

void SocatTest::SetUp() {
  if (!haveProgram("socat")) GTEST_SKIP() << "socat is not installed";
  dir = scratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  zor::theApp.m_threadGranularity = 2;
  zor::theApp.m_ioWriteTimeout = 1000;
}

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

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  unsigned x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 16);
  }
  return v;
}

std::vector<unsigned char> readFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> waitFileBytes(const std::string& path, std::size_t n, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    auto bytes = readFileBytes(path);
    if (bytes.size() >= n || std::chrono::steady_clock::now() > deadline) return bytes;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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

void SocatServer::kill() {
  if (m_caller) m_caller->stop(9);
  m_acceptor->stop(9);
}

RecordingPipe::RecordingPipe() : CTcpPipe(1024) {
  setHandlers([this](const void* data, unsigned long size) { onRead(data, size); },
              [this](bool connected) { onConnect(connected); });
}

void RecordingPipe::onRead(const void* data, unsigned long size) {
  auto* p = static_cast<const unsigned char*>(data);
  std::lock_guard lock(m_mutex);
  m_chunks.emplace_back(p, p + size);
  m_total += size;
  m_cv.notify_all();
}

void RecordingPipe::onConnect(bool connected) {
  std::lock_guard lock(m_mutex);
  m_connects.push_back(connected);
  m_cv.notify_all();
}

std::vector<std::vector<unsigned char>> RecordingPipe::chunks() const {
  std::lock_guard lock(m_mutex);
  return m_chunks;
}

std::vector<unsigned char> RecordingPipe::bytes() const {
  std::lock_guard lock(m_mutex);
  std::vector<unsigned char> all;
  for (auto& c : m_chunks) all.insert(all.end(), c.begin(), c.end());
  return all;
}

std::vector<bool> RecordingPipe::connects() const {
  std::lock_guard lock(m_mutex);
  return m_connects;
}

bool RecordingPipe::waitConnects(std::size_t n, int milliseconds) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return m_connects.size() >= n; });
}

bool RecordingPipe::waitBytes(std::size_t n, int milliseconds) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return m_total >= n; });
}

}  // namespace zortest
