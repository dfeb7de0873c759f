#include "zor/host/os/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace zor {
namespace {

static_assert(sizeof(termios) <= 128, "RawTerminal::m_saved holds a termios");

// The longest wait for room without a look at the stop flag, should the
// wake-up pipe be missing (no descriptor left when the output was made).
constexpr int kStopSlice = 50;

}  // namespace

bool standardInputIsTerminal() { return ::isatty(0) == 1; }
bool standardErrorIsTerminal() { return ::isatty(2) == 1; }

StandardInput::StandardInput() {
  struct stat st;
  // A regular file (or a missing descriptor) is always readable: nothing to wait on.
  if (::fstat(0, &st) != 0 || S_ISREG(st.st_mode)) m_alwaysReady = true;
}

long StandardInput::readNow(void* buffer, std::size_t size, bool* failed) {
  *failed = false;
  if (!m_alwaysReady) {
    pollfd p{0, POLLIN, 0};
    int ready = ::poll(&p, 1, 0);
    if (ready == 0) return -1;
    if (ready < 0 && errno == EINTR) return -1;
    if (ready < 0 || (p.revents & POLLNVAL) != 0)
      m_alwaysReady = true;  // nothing to wait for: reads do not wait
  }
  for (;;) {
    ssize_t n = ::read(0, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    *failed = true;
    return 0;
  }
}

StandardOutput::StandardOutput() {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
}

StandardOutput::~StandardOutput() {
  for (int fd : m_wake)
    if (fd >= 0) ::close(fd);
}

void StandardOutput::stop() {
  m_stopped = true;
  const unsigned char b = 1;
  if (m_wake[1] >= 0 && ::write(m_wake[1], &b, 1) < 0) {
    // Full: a wake-up is pending anyway.
  }
}

bool StandardOutput::waitForRoom(int ms) {
  pollfd p[2] = {{1, POLLOUT, 0}, {m_wake[0], POLLIN, 0}};
  const nfds_t count = m_wake[0] >= 0 ? 2 : 1;
  if (m_stopped) return false;
  if (::poll(p, count, count == 2 ? ms : std::min(ms, kStopSlice)) < 0 && errno != EINTR) return !m_stopped;
  return !m_stopped;
}

bool StandardOutput::write(const void* data, std::size_t size) {
  // A reader that went away ends the writes, not the process.
  static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignored;
  // A pipe that has room takes this much without blocking (PIPE_BUF), so a
  // write never outlasts a stop by more than the wait for room.
  constexpr std::size_t kPiece = PIPE_BUF;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (!waitForRoom(-1)) return false;  // stopped
    ssize_t n = ::write(1, p, std::min(size, kPiece));
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    m_error = n < 0 ? errno : EIO;
    return false;
  }
  return true;
}

const char* errorText(int error) { return std::strerror(error); }

RawTerminal::RawTerminal() {
  termios saved;
  if (::tcgetattr(0, &saved) != 0) return;
  termios raw = saved;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(0, TCSANOW, &raw) != 0) return;
  std::memcpy(m_saved, &saved, sizeof saved);
  m_active = true;
}

void RawTerminal::restore() {
  if (!m_active) return;
  termios saved;
  std::memcpy(&saved, m_saved, sizeof saved);
  ::tcsetattr(0, TCSANOW, &saved);
  m_active = false;
}

}  // namespace zor
