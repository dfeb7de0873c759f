#include "zor/platform/reactor.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace zor {
namespace {

struct Registration {
  int fd;
  Reactor::Callback callback;
  bool inSet = false;  // in the epoll set; under the engine's mutex
};

// Id 0 in epoll data marks the wake-up descriptor.
constexpr Reactor::Id kWakeId = 0;

class Engine {
public:
  Reactor::Id add(int fd, Reactor::Callback callback) {
    // What epoll refuses: files and folders are always ready.
    struct stat st {};
    if (fstat(fd, &st) != 0) return 0;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
      errno = EPERM;
      return 0;
    }
    std::lock_guard lock(m_mutex);
    if (m_stopped) {
      errno = ECANCELED;
      return 0;
    }
    if (!startLocked()) return 0;
    Reactor::Id id = m_next++;
    m_regs.emplace(id, std::make_shared<Registration>(Registration{fd, std::move(callback)}));
    return id;
  }

  bool arm(Reactor::Id id, unsigned interest) {
    std::lock_guard lock(m_mutex);
    auto it = m_regs.find(id);
    if (it == m_regs.end()) {
      errno = ENOENT;
      return false;
    }
    Registration& reg = *it->second;
    // Disarmed means not in the epoll set at all: an armed set with no events
    // would still report a hang-up.
    if (interest == 0) {
      if (reg.inSet) epoll_ctl(m_epoll, EPOLL_CTL_DEL, reg.fd, nullptr);
      reg.inSet = false;
      return true;
    }
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    if (interest & Reactor::kReadable) ev.events |= EPOLLIN | EPOLLRDHUP;
    if (interest & Reactor::kWritable) ev.events |= EPOLLOUT;
    if (interest & Reactor::kHangUp) ev.events |= EPOLLRDHUP;
    ev.data.u64 = id;
    if (epoll_ctl(m_epoll, reg.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, reg.fd, &ev) != 0) return false;
    reg.inSet = true;
    return true;
  }

  void remove(Reactor::Id id) {
    std::lock_guard lock(m_mutex);
    auto it = m_regs.find(id);
    if (it == m_regs.end()) return;
    if (it->second->inSet) epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second->fd, nullptr);
    m_regs.erase(it);
  }

  void stop() {
    std::thread thread;
    {
      std::lock_guard lock(m_mutex);
      m_stopped = true;
      if (!m_thread.joinable()) return;
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(m_wake, &one, sizeof one);
      thread = std::move(m_thread);
    }
    // A callback that ends the process runs on the reactor thread itself.
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }

private:
  bool startLocked() {
    if (m_thread.joinable()) return true;
    if (m_epoll < 0) {
      m_epoll = epoll_create1(EPOLL_CLOEXEC);
      if (m_epoll < 0) return false;
    }
    if (m_wake < 0) {
      m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (m_wake < 0) return false;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kWakeId;
      if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev) != 0) {
        ::close(m_wake);
        m_wake = -1;
        return false;
      }
    }
    try {
      m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      errno = EAGAIN;
      return false;
    }
    return true;
  }

  void run() {
    constexpr int kMaxEvents = 32;
    epoll_event events[kMaxEvents];
    for (;;) {
      int n = epoll_wait(m_epoll, events, kMaxEvents, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < n; ++i) {
        Reactor::Id id = events[i].data.u64;
        if (id == kWakeId) {
          std::lock_guard lock(m_mutex);
          if (m_stopped) return;
          continue;
        }
        std::shared_ptr<Registration> reg;
        {
          std::lock_guard lock(m_mutex);
          auto it = m_regs.find(id);
          if (it != m_regs.end()) reg = it->second;
        }
        if (!reg) continue;  // removed after the event was queued
        unsigned bits = 0;
        std::uint32_t e = events[i].events;
        if (e & EPOLLIN) bits |= Reactor::kReadable;
        if (e & EPOLLOUT) bits |= Reactor::kWritable;
        if (e & EPOLLERR) bits |= Reactor::kError;
        if (e & (EPOLLHUP | EPOLLRDHUP)) bits |= Reactor::kHangUp;
        reg->callback(bits);
      }
    }
  }

  std::mutex m_mutex;
  std::unordered_map<Reactor::Id, std::shared_ptr<Registration>> m_regs;
  Reactor::Id m_next = 1;
  int m_epoll = -1;
  int m_wake = -1;
  bool m_stopped = false;
  std::thread m_thread;
};

// The engine outlives every static that may still remove a registration at
// exit; only its thread is stopped, by the guard below.
Engine& engine() {
  static Engine* e = new Engine;
  return *e;
}

struct StopAtExit {
  ~StopAtExit() { engine().stop(); }
};

}  // namespace

Reactor& Reactor::instance() {
  static Reactor reactor;
  static StopAtExit guard;  // constructed on first use, so destroyed before earlier statics
  return reactor;
}

Reactor::Id Reactor::add(int fd, Callback callback) { return engine().add(fd, std::move(callback)); }
bool Reactor::arm(Id id, unsigned interest) { return engine().arm(id, interest); }
void Reactor::remove(Id id) { engine().remove(id); }

int Reactor::waitReadyOrWoken(int fd, unsigned interest, int wakeFd, int timeoutMs) {
  short events = POLLRDHUP;
  if (interest & kReadable) events |= POLLIN;
  if (interest & kWritable) events |= POLLOUT;
  pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  int n = ::poll(fds, 2, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count;
    while (::read(wakeFd, &count, sizeof count) > 0) {
    }
  }
  unsigned bits = 0;
  if (fds[0].revents & POLLIN) bits |= kReadable;
  if (fds[0].revents & POLLOUT) bits |= kWritable;
  if (fds[0].revents & (POLLHUP | POLLRDHUP)) bits |= kHangUp;
  if (fds[0].revents & (POLLERR | POLLNVAL)) bits |= kError;
  return static_cast<int>(bits);
}

Reactor::WakeDescriptor::WakeDescriptor() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Reactor::WakeDescriptor::~WakeDescriptor() {
  if (fd >= 0) ::close(fd);
}

void Reactor::WakeDescriptor::wake() const {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

std::shared_ptr<Reactor::WakeDescriptor> Reactor::threadWake() {
  thread_local auto wake = std::make_shared<WakeDescriptor>();
  return wake;
}

}  // namespace zor
