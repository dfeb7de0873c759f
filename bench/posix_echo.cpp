#include "posix_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace bench {

namespace {

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

struct PosixTcpEcho::Private {
  int listener = -1;
  int client = -1;
  bool ok = false;
  std::thread echoer;
};

// Echoes what s receives until it ends or stays silent for 5 s.
static void echoLoop(int s) {
  char buf[4096];
  for (int i = 0; i < 100000000 && readable(s, 5000); ++i) {
    ssize_t n = ::read(s, buf, sizeof buf);
    if (n <= 0 || ::write(s, buf, static_cast<std::size_t>(n)) != n) break;
  }
  ::close(s);
}

PosixTcpEcho::PosixTcpEcho(Medium medium) : p(std::make_unique<Private>()) {
  if (medium == Medium::Unix) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return;
    p->client = pair[0];
    int far = pair[1];
    p->echoer = std::thread([far] { echoLoop(far); });
    p->ok = true;
    return;
  }
  p->listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(p->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(p->listener, 1) != 0 ||
      ::getsockname(p->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  int listener = p->listener;
  // Serves one connection.
  p->echoer = std::thread([listener] {
    if (!readable(listener, 5000)) return;
    int s = ::accept(listener, nullptr, nullptr);
    if (s < 0) return;
    noDelay(s);
    echoLoop(s);
  });
  p->client = ::socket(AF_INET, SOCK_STREAM, 0);
  noDelay(p->client);
  p->ok = ::connect(p->client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

PosixTcpEcho::~PosixTcpEcho() {
  if (p->client >= 0) ::close(p->client);  // the echoer reads the end
  if (p->echoer.joinable()) p->echoer.join();
  if (p->listener >= 0) ::close(p->listener);
}

bool PosixTcpEcho::ok() const { return p->ok; }

bool PosixTcpEcho::trip(const char* out, char* in, unsigned long size) {
  if (::write(p->client, out, size) != static_cast<ssize_t>(size)) return false;
  unsigned long got = 0;
  for (int i = 0; got < size && i < 100; ++i) {
    if (!readable(p->client, 2000)) return false;
    ssize_t n = ::read(p->client, in + got, size - got);
    if (n <= 0) return false;
    got += static_cast<unsigned long>(n);
  }
  return got == size;
}

}  // namespace bench
