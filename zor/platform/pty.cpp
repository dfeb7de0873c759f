// The pseudo-terminal behind a bridge and its link (pty.h).
#include "zor/platform/pty.h"

#include "zor/platform/reactor.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zor {

struct PseudoTerminal::Writable {
  Reactor::Id id = 0;
  // The reactor's callback holds it, never its owner: it may run a moment after remove().
  std::shared_ptr<std::atomic<HANDLE>> target = std::make_shared<std::atomic<HANDLE>>(nullptr);
  std::vector<unsigned char> packet;  // one read's status byte and data
};

namespace {

DWORD lastError() { return win32ErrorFromErrno(errno); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::open(std::string* problem) {
  std::unique_ptr<PseudoTerminal> pty(new PseudoTerminal);
  pty->m_writable = std::make_unique<Writable>();
  auto fail = [&] {
    *problem = std::strerror(errno);
    return nullptr;
  };
  pty->m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty->m_master < 0 || ::grantpt(pty->m_master) != 0 || ::unlockpt(pty->m_master) != 0) return fail();
  char name[PATH_MAX];
  if (::ptsname_r(pty->m_master, name, sizeof name) != 0) return fail();
  pty->m_slavePath = name;
  pty->m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty->m_slave < 0) return fail();
  termios2 t{};
  if (::ioctl(pty->m_slave, TCGETS2, &t) != 0) return fail();
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_lflag |= EXTPROC;
  t.c_cflag &= ~(CSIZE | PARENB);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::ioctl(pty->m_slave, TCSETS2, &t) != 0) return fail();
  int on = 1;
  if (::ioctl(pty->m_master, TIOCPKT, &on) != 0) return fail();
  return pty;
}

PseudoTerminal::~PseudoTerminal() {
  if (m_writable && m_writable->id != 0) {
    m_writable->target->store(nullptr);  // a callback already under way sets nothing
    Reactor::instance().remove(m_writable->id);
  }
  closeFd(m_slave);
  closeFd(m_master);
}

long PseudoTerminal::read(unsigned char* buffer, std::size_t size, bool* lineChanged, DWORD* error) {
  std::vector<unsigned char>& packet = m_writable->packet;
  if (packet.size() < size + 1) packet.resize(size + 1);
  for (int reports = 0; reports < 8; ++reports) {
    const ssize_t n = ::read(m_master, packet.data(), size + 1);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return 0;
      *error = lastError();
      return -1;
    }
    if (n == 0) return 0;
    if (packet[0] == TIOCPKT_DATA) {
      std::memcpy(buffer, packet.data() + 1, static_cast<std::size_t>(n - 1));
      return static_cast<long>(n - 1);
    }
    // A status report alone: the slave's settings changed, or its queues were flushed.
    if ((packet[0] & TIOCPKT_IOCTL) != 0) *lineChanged = true;
  }
  return 0;
}

long PseudoTerminal::write(const unsigned char* data, std::size_t size, DWORD* error) {
  const ssize_t n = ::write(m_master, data, size);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  *error = lastError();
  return -1;
}

bool PseudoTerminal::signalWhenWritable(HANDLE event) {
  Writable& w = *m_writable;
  if (w.id == 0) {
    auto target = w.target;
    w.id = Reactor::instance().add(m_master, [target](unsigned) {
      if (HANDLE e = target->load()) SetEvent(e);
    });
    if (w.id == 0) return false;
  }
  w.target->store(event);
  return Reactor::instance().arm(w.id, Reactor::kWritable);
}

bool PseudoTerminal::lineSettings(PtyLine& out) const {
  termios2 t{};
  if (::ioctl(m_master, TCGETS2, &t) != 0) return false;
  out.baud = t.c_ospeed;
  const bool odd = (t.c_cflag & PARODD) != 0, stick = (t.c_cflag & CMSPAR) != 0;
  out.parity = stick ? (odd ? 'M' : 'S') : (odd ? 'O' : 0);
  out.twoStopBits = (t.c_cflag & CSTOPB) != 0;
  out.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  return true;
}

bool PseudoTerminal::setLineSettings(const PtyLine& line) {
  termios2 t{};
  if (::ioctl(m_slave, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= BOTHER;
  t.c_ospeed = t.c_ispeed = static_cast<speed_t>(line.baud);
  if (line.parity == 'O' || line.parity == 'M') t.c_cflag |= PARODD;
  if (line.parity == 'M' || line.parity == 'S') t.c_cflag |= CMSPAR;
  if (line.twoStopBits) t.c_cflag |= CSTOPB;
  if (line.rtsCts) t.c_cflag |= CRTSCTS;
  return ::ioctl(m_slave, TCSETS2, &t) == 0;
}

bool PtyLink::claim(const std::string& link, const std::string& target, std::string* problem) {
  release();
  auto refuse = [&](const char* why) {
    *problem = why;
    return false;
  };
  auto nonLinkInWay = [&] {
    struct stat st {};
    return ::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode);
  };
  if (nonLinkInWay()) return refuse("exists and is no symbolic link; only a link is replaced");
  const std::string lockPath = link + ".lock";
  int fd = -1;
  // A lock file removed by the bridge that held it, between our open and our
  // lock, is no lock: taken again on the file now there.
  for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
    fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      *problem = std::string("cannot make its lock ") + lockPath + ": " + std::strerror(errno);
      return false;
    }
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      closeFd(fd);
      return refuse("has a lock beside it that is no regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool busy = errno == EWOULDBLOCK;
      closeFd(fd);
      return refuse(busy ? "is in use by another running bridge" : "cannot be locked");
    }
    if (::stat(lockPath.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev)
      closeFd(fd);
  }
  if (fd < 0) return refuse("cannot be locked");
  auto undo = [&](const std::string& why) {
    ::unlink(lockPath.c_str());
    closeFd(fd);
    *problem = why;
    return false;
  };
  // Looked at again under the lock: a link here now was left by a bridge that died.
  if (nonLinkInWay()) return undo("exists and is no symbolic link; only a link is replaced");
  if (::unlink(link.c_str()) != 0 && errno != ENOENT) return undo(std::strerror(errno));
  if (::symlink(target.c_str(), link.c_str()) != 0) return undo(std::strerror(errno));
  m_link = link;
  m_target = target;
  m_lockFd = fd;
  return true;
}

void PtyLink::release() {
  if (m_lockFd < 0) return;
  char pointsTo[PATH_MAX];
  const ssize_t n = ::readlink(m_link.c_str(), pointsTo, sizeof pointsTo - 1);
  if (n >= 0 && std::string(pointsTo, static_cast<std::size_t>(n)) == m_target) ::unlink(m_link.c_str());
  ::unlink((m_link + ".lock").c_str());
  closeFd(m_lockFd);
  m_link.clear();
  m_target.clear();
}

}  // namespace zor
