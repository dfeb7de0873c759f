#include "support/serial_line.h"

#include "zor/platform/platform.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

// <pty.h> brings the libc termios, which cannot meet the kernel's termios2.
extern "C" int openpty(int* master, int* slave, char* name, const struct termios* t, const struct winsize* w);

namespace zortest {
namespace {

long nowMs() {
  using namespace std::chrono;
  return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  int master = -1, slave = -1;
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  m_master = master;
  m_slave = slave;
  m_path = name;
}

bool PtyPair::send(const std::string& bytes) {
  std::size_t done = 0;
  long deadline = nowMs() + 5000;
  // Non-blocking while it sends, so that a far end that stops reading ends
  // the send at its deadline instead of holding it in write for good.
  const int flags = m_master >= 0 ? ::fcntl(m_master, F_GETFL) : -1;
  if (flags >= 0) ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
  struct Restore {
    int fd, flags;
    ~Restore() {
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags);
    }
  } restore{m_master, flags};
  while (done < bytes.size() && m_master >= 0 && nowMs() < deadline) {
    ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    } else {
      pollfd p{m_master, POLLOUT, 0};
      ::poll(&p, 1, 50);
    }
  }
  return done == bytes.size();
}

std::string PtyPair::receive(std::size_t count, int ms) {
  std::string out;
  long deadline = nowMs() + ms;
  while (out.size() < count && m_master >= 0) {
    long left = deadline - nowMs();
    if (left <= 0) break;
    pollfd p{m_master, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(m_master, buf, sizeof buf < count - out.size() ? sizeof buf : count - out.size());
    if (n > 0)
      out.append(buf, static_cast<std::size_t>(n));
    else if (n < 0 && errno != EINTR && errno != EAGAIN)
      break;
  }
  return out;
}

bool PtyPair::settings(LineSettings& out) const {
  termios2 t{};
  if (m_master < 0 || ioctl(m_master, TCGETS2, &t) != 0) return false;
  out.rate = t.c_ospeed;
  out.twoStopBits = (t.c_cflag & CSTOPB) != 0;
  out.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  out.oddParity = (t.c_cflag & PARODD) != 0;
  out.softwareFlow = (t.c_iflag & (IXON | IXOFF)) != 0;
  out.raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
  return true;
}

void PtyPair::hangUp() {
  if (m_master >= 0) ::close(m_master);
  if (m_slave >= 0) ::close(m_slave);
  m_master = m_slave = -1;
}

int portNumber() { return 100 + static_cast<int>(getpid() % 800000); }

bool linkComPort(int n, const std::string& target) {
  std::string folder = zor::portLinkFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string link = folder + "/COM" + std::to_string(n);
  std::string temp = link + ".new";
  ::unlink(temp.c_str());
  return ::symlink(target.c_str(), temp.c_str()) == 0 && ::rename(temp.c_str(), link.c_str()) == 0;
}

void unlinkComPort(int n) { ::unlink((zor::portLinkFolder() + "/COM" + std::to_string(n)).c_str()); }

PortHolder::PortHolder(const std::string& path) {
  m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  m_locked = m_fd >= 0 && flock(m_fd, LOCK_EX | LOCK_NB) == 0;
}

PortHolder::~PortHolder() {
  if (m_fd >= 0) ::close(m_fd);
}

long processCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

}  // namespace zortest
