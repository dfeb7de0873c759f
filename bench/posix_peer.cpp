#include "posix_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <chrono>
#include <thread>

extern char** environ;

namespace bench {
namespace {

sockaddr_in loopbackAt(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

Program::Program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> all = env;
  for (char** e = environ; *e != nullptr; ++e) all.emplace_back(*e);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : all) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) m_pid = pid;
  posix_spawn_file_actions_destroy(&actions);
}

Program::~Program() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(m_pid, SIGKILL);
  ::waitpid(m_pid, nullptr, 0);
}

double Program::cpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (m_pid <= 0 || close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

PlainRelayClient::PlainRelayClient(int port, bool callBack) {
  int listener = -1;
  if (callBack) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at = loopbackAt(port + 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 1) != 0) {
      ::close(listener);
      return;
    }
  }
  const sockaddr_in server = loopbackAt(port);
  for (int i = 0; i < 250 && m_out < 0; ++i) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
      noDelay(s);
      m_out = s;
    } else {
      ::close(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!callBack) {
    m_in = m_out;
    return;
  }
  if (m_out >= 0 && readable(listener, 10000)) m_in = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
}

PlainRelayClient::~PlainRelayClient() {
  if (m_in >= 0 && m_in != m_out) ::close(m_in);
  if (m_out >= 0) ::close(m_out);
}

bool PlainRelayClient::trip(const char* out, char* in, unsigned long size) {
  if (!ok() || ::write(m_out, out, size) != static_cast<ssize_t>(size)) return false;
  unsigned long got = 0;
  for (int i = 0; got < size && i < 100; ++i) {
    if (!readable(m_in, 2000)) return false;
    ssize_t n = ::read(m_in, in + got, size - got);
    if (n <= 0) return false;
    got += static_cast<unsigned long>(n);
  }
  return got == size;
}

int freePort() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopbackAt(0);
  socklen_t length = sizeof at;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) == 0)
    port = ntohs(at.sin_port);
  ::close(s);
  return port;
}

}  // namespace bench
