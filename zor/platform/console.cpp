#include "zor/platform/console.h"

#include "zor/platform/handle.h"
#include "zor/platform/reactor.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>

namespace zor {
namespace {

// Standard input in the handle table: something to wait on, never closed here.
class StdinObject : public HandleObject {
public:
  int readinessFd() override { return 0; }
};

static_assert(sizeof(termios) <= 128, "RawTerminal::m_saved holds a termios");

}  // namespace

bool standardInputIsTerminal() { return ::isatty(0) == 1; }
bool standardErrorIsTerminal() { return ::isatty(2) == 1; }

StandardInput::StandardInput() {
  struct stat st;
  // A regular file (or a missing descriptor) is always readable: nothing to wait on.
  if (::fstat(0, &st) != 0 || S_ISREG(st.st_mode)) {
    m_alwaysReady = true;
    return;
  }
  try {
    m_handle = registerHandle(std::make_shared<StdinObject>());
  } catch (const std::bad_alloc&) {
    m_handle = INVALID_HANDLE_VALUE;
  }
  if (m_handle == INVALID_HANDLE_VALUE || m_handle == nullptr) m_alwaysReady = true;
}

StandardInput::~StandardInput() {
  if (m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr) CloseHandle(m_handle);
}

long StandardInput::readNow(void* buffer, std::size_t size, bool* failed) {
  *failed = false;
  if (!m_alwaysReady) {
    int ready = Reactor::instance().waitReady(0, Reactor::kReadable, 0);
    if (ready == 0) return -1;
    if (ready < 0) m_alwaysReady = true;  // no readiness to wait for (/dev/null): reads do not wait
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

bool StandardOutput::write(const void* data, std::size_t size) {
  // A reader that went away ends the writes, not the process.
  static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignored;
  // A pipe that has room takes this much without blocking (PIPE_BUF), so a
  // write never outlasts a stop by more than the wait for room.
  constexpr std::size_t kPiece = PIPE_BUF;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (!m_unwatchable) {
      int ready = Reactor::instance().waitReady(1, Reactor::kWritable, -1, &m_stop);
      if (ready == 0) return false;  // stopped
      if (ready < 0) m_unwatchable = true;
    }
    ssize_t n = ::write(1, p, m_unwatchable ? size : std::min(size, kPiece));
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (m_unwatchable) Sleep(1);  // shared non-blocking with no readiness to wait for
      continue;
    }
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
