// The receiver's epoll set: its input descriptor, unless a stand-in holds it,
// and its thread's wake-up descriptor. Level-triggered, so a descriptor put
// back while readable wakes the receiver at once.
#include "zor/platform/reactor.h"
#include "zor/platform/stand_in.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace zor {

ReceiveWatch::ReceiveWatch() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}

ReceiveWatch::~ReceiveWatch() {
  if (m_epoll >= 0) ::close(m_epoll);
}

void ReceiveWatch::watch(int fd) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.fd = fd;
  if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0 || errno == EEXIST) m_watched = fd;
}

void ReceiveWatch::unwatch(int fd) {
  ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
  if (m_watched == fd) m_watched = -1;
}

int ReceiveWatch::wait(int fd, int wakeFd, int timeoutMs) {
  if (m_epoll < 0) return Reactor::waitReadyOrWoken(fd, Reactor::kReadable, wakeFd, timeoutMs);
  {
    // Added when they change (and after forget()): a registration stays until
    // its descriptor closes.
    std::lock_guard lock(m_mutex);
    if (m_wakeFd != wakeFd) {
      if (m_wakeFd >= 0) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_wakeFd, nullptr);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = wakeFd;
      if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, wakeFd, &ev) != 0 && errno != EEXIST) return -1;
      m_wakeFd = wakeFd;
    }
    if (m_watched >= 0 && m_watched != fd) unwatch(m_watched);
    if (m_lent == 0 && m_watched != fd) watch(fd);
  }
  epoll_event ready[4];
  int n = ::epoll_wait(m_epoll, ready, 4, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  unsigned bits = 0;
  for (int i = 0; i < n; ++i) {
    if (ready[i].data.fd == wakeFd) {
      std::uint64_t count;
      while (::read(wakeFd, &count, sizeof count) > 0) {
      }
    } else if (ready[i].data.fd == fd) {
      if (ready[i].events & EPOLLIN) bits |= Reactor::kReadable;
      if (ready[i].events & (EPOLLHUP | EPOLLRDHUP)) bits |= Reactor::kHangUp;
      if (ready[i].events & EPOLLERR) bits |= Reactor::kError;
    }
  }
  return static_cast<int>(bits);
}

void ReceiveWatch::lend(int fd) {
  std::lock_guard lock(m_mutex);
  if (m_lent++ == 0) {
    m_lentFd = fd;
    if (m_watched >= 0) unwatch(m_watched);
  }
}

void ReceiveWatch::giveBack() {
  std::lock_guard lock(m_mutex);
  if (m_lent > 0 && --m_lent == 0) {
    // Back on the watch even while the receiver sleeps: what arrived since
    // the stand-in's last look wakes it.
    if (m_lentFd >= 0 && m_epoll >= 0) watch(m_lentFd);
    m_lentFd = -1;
  }
}

void ReceiveWatch::forget() {
  std::lock_guard lock(m_mutex);
  m_watched = -1;
  m_wakeFd = -1;
}

}  // namespace zor
