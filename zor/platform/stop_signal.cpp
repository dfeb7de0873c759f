#include "zor/platform/stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace zor {
namespace {

std::atomic<int> g_pipe[2] = {-1, -1};

void onStopSignal(int signal) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(signal);
  int fd = g_pipe[1].load();
  if (fd >= 0 && ::write(fd, &b, 1) < 0) {
    // Pipe full: a stop is pending anyway.
  }
  errno = saved;
}

}  // namespace

bool watchStopSignals() {
  if (g_pipe[0].load() < 0) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
  }
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

int waitStopSignal(DWORD milliseconds) {
  int fd = g_pipe[0].load();
  if (fd < 0) {
    Sleep(milliseconds);
    return 0;
  }
  pollfd p{fd, POLLIN, 0};
  int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds);
  if (::poll(&p, 1, timeout) <= 0) return 0;
  unsigned char b = 0;
  return ::read(fd, &b, 1) == 1 ? b : 0;
}

}  // namespace zor
