// socat playing the far end of a TCP link.
#pragma once

#include "support/background.h"
#include "support/recorder.h"

#include <gtest/gtest.h>

#include "zor/remote/tcppipe.h"

#include <memory>
#include <string>
#include <vector>

namespace zortest {

constexpr int kServerPort = zor::CDevTcp::TCP_PORT;
constexpr int kClientPort = 40766;

// True when some socket listens on the TCP port (from /proc/net/tcp).
bool isListening(int port);

using zor_test::waitUntil;

// Linux routes all of 127/8 to the loopback, so each address stands for another host.
// A listener on address:port with the given backlog; null on failure.
std::unique_ptr<zor::TcpListener> listenerAt(const char* address, int port, int backlog);
// A connection from the address to port of `to`; null on failure.
std::unique_ptr<zor::TcpTransport> connectFrom(const char* from, int port, const char* to = "127.0.0.1");

std::vector<unsigned char> pattern(std::size_t n, unsigned seed = 1);
void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
// Waits (bounded) until the file holds at least n bytes; returns its content.
std::vector<unsigned char> waitFileBytes(const std::string& path, std::size_t n, int milliseconds);

// Base of the tests with socat as the far end: skipped without socat; each
// test gets a scratch folder, short library waits, and the settings and the
// channel's wait for a call back restored.
class SocatTest : public ::testing::Test {
protected:
  void SetUp() override;
  ~SocatTest() override;
  std::string file(const char* name) const { return dir + "/" + name; }
  zor_test::SettingsScope settings;
  std::string dir;

private:
  zor::DWORD m_peerWait = zor::CTcpPipe::s_peerWaitMs;
};

// socat as a client of a remote server: one process sends `in` (and whatever
// is appended to it later) to port 40765, one takes the call back on 40766
// and writes what arrives to `out`.
class SocatClient {
public:
  SocatClient(const std::string& in, const std::string& out, bool takeCallBack = true, bool retry = false);
  void leave();

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

private:
  std::unique_ptr<BackgroundProcess> m_acceptor;
  std::unique_ptr<BackgroundProcess> m_caller;
};

}  // namespace zortest
