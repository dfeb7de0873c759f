#include "zor/host/os/stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
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
  // A hang-up (the terminal closed) ends as cleanly: the terminal's settings are put back.
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0 &&
         ::sigaction(SIGHUP, &sa, nullptr) == 0;
}

int waitStopSignal(DWORD milliseconds) {
  int fd = g_pipe[0].load();
  if (fd < 0) {
    Sleep(milliseconds);
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    // The pipe is non-blocking: a signal already caught needs no wait.
    unsigned char b = 0;
    ssize_t n = ::read(fd, &b, 1);
    if (n == 1) return b;
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return 0;
    int timeout = -1;
    if (milliseconds != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;
      timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    // Another reader may take the byte first: then the wait goes on.
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
  }
}

}  // namespace zor
