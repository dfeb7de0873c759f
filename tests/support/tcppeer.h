// socat playing the far end of a TCP link, and a channel that records what it gets.
#pragma once

#include "support/background.h"
#include "support/recorder.h"

#include <gtest/gtest.h>

#include "zor/remote/tcppipe.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zortest {

constexpr int kServerPort = 40765;
constexpr int kClientPort = 40766;

// True when some socket listens on the TCP port (from /proc/net/tcp).
bool isListening(int port);

using zor_test::waitUntil;

std::vector<unsigned char> pattern(std::size_t n, unsigned seed = 1);
std::vector<unsigned char> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
// Waits (bounded) until the file holds at least n bytes; returns its content.
std::vector<unsigned char> waitFileBytes(const std::string& path, std::size_t n, int milliseconds);

// Base of the tests with socat as the far end: skipped without socat; each
// test gets a scratch folder, short library waits, and the settings restored.
class SocatTest : public ::testing::Test {
protected:
  void SetUp() override;
  std::string file(const char* name) const { return dir + "/" + name; }
  zor_test::SettingsScope settings;
  std::string dir;
};

// socat as a client of a remote server: one process sends `in` (and whatever
// is appended to it later) to port 40765, one takes the call back on 40766
// and writes what arrives to `out`.
class SocatClient {
public:
  SocatClient(const std::string& in, const std::string& out, bool takeCallBack = true, bool retry = false);
  void leave();
  bool started() const { return m_sender->started(); }

private:
  std::unique_ptr<BackgroundProcess> m_receiver;
  std::unique_ptr<BackgroundProcess> m_sender;
};

// socat as a remote server for a client device: one process accepts on 40765
// and writes what arrives to `in`; with callBack, one sends `out` (and what is
// appended to it later) to the client on 40766.
class SocatServer {
public:
  SocatServer(const std::string& in, const std::string& out, bool callBack = true);
  void kill();

private:
  std::unique_ptr<BackgroundProcess> m_acceptor;
  std::unique_ptr<BackgroundProcess> m_caller;
};

// A channel that keeps every chunk and connection change it is told of.
class RecordingPipe : public zor::CTcpPipe {
public:
  RecordingPipe();
  // The channel's thread stops before the records go.
  ~RecordingPipe() { close(); }

  std::vector<std::vector<unsigned char>> chunks() const;
  std::vector<unsigned char> bytes() const;
  std::vector<bool> connects() const;
  // Waits (bounded) for the n-th connection change / for n bytes in all.
  bool waitConnects(std::size_t n, int milliseconds) const;
  bool waitBytes(std::size_t n, int milliseconds) const;

private:
  void onRead(const void* data, unsigned long size);
  void onConnect(bool connected);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<std::vector<unsigned char>> m_chunks;
  std::vector<bool> m_connects;
  std::size_t m_total = 0;
};

}  // namespace zortest
