// Pseudo-terminal far ends for the benchmarks, and the idle reference: threads
// parked in poll() on ptys, which is what an idle serial line costs at best.
#pragma once

#include "bench_common.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A pty pair; the master side is the far end. kEcho sends back every byte,
// kAnswer sends the answer once per '\n' received (an instrument answering a
// query), kSilent runs no thread at all so that an idle line costs nothing.
// The slave stays open here too: with no slave open the master reports a
// hang-up on every poll and the far end would spin.
class PtyPeer {
public:
  enum Mode { kSilent, kEcho, kAnswer };

  explicit PtyPeer(Mode mode, std::string answer = {}) : m_mode(mode), m_answer(std::move(answer)) {
    char name[256];
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    ::tcgetattr(m_slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_slave, TCSANOW, &t);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = name;
    if (mode != kSilent && ::pipe(m_stopPipe) == 0) m_thread = std::thread([this] { run(); });
  }
  ~PtyPeer() {
    if (m_thread.joinable()) {
      char b = 0;
      (void)!::write(m_stopPipe[1], &b, 1);
      m_thread.join();
    }
    for (int fd : {m_stopPipe[0], m_stopPipe[1], m_master, m_slave})
      if (fd >= 0) ::close(fd);
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return !m_path.empty(); }
  const std::string& path() const { return m_path; }
  int slave() const { return m_slave; }
  // Switch only between exchanges, with nothing in flight; a silent peer stays silent.
  void setMode(Mode mode) {
    if (m_mode != kSilent && mode != kSilent) m_mode = mode;
  }

private:
  // Serves until stopped, at most kLifetime: a far end must never outlive its benchmark.
  void run() {
    static constexpr double kLifetime = 120;
    const auto start = Clock::now();
    char buf[4096];
    while (secondsSince(start) < kLifetime) {
      if (!waitFor(POLLIN)) return;
      ssize_t n = ::read(m_master, buf, sizeof buf);
      if (n <= 0) continue;
      if (m_mode == kEcho) {
        if (!send(buf, static_cast<std::size_t>(n))) return;
      } else {
        for (ssize_t i = 0; i < n; ++i)
          if (buf[i] == '\n' && !send(m_answer.data(), m_answer.size())) return;
      }
    }
  }
  // False once stopped; each wait is a bounded slice.
  bool waitFor(short events) {
    pollfd p[2] = {{m_master, events, 0}, {m_stopPipe[0], POLLIN, 0}};
    int r = ::poll(p, 2, 250);
    return !(r > 0 && (p[1].revents & POLLIN));
  }
  bool send(const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
      ssize_t w = ::write(m_master, data + done, size - done);
      if (w > 0)
        done += static_cast<std::size_t>(w);
      else if (!waitFor(POLLOUT))
        return false;
    }
    return true;
  }

  int m_master = -1, m_slave = -1;
  int m_stopPipe[2] = {-1, -1};
  std::atomic<Mode> m_mode;
  std::string m_answer;
  std::string m_path;
  std::thread m_thread;
};

// CPU of the process while `count` threads each sit in one poll() on a pty of
// their own, over a window of `seconds`. Each poll is bounded; a byte from the
// far end releases it at the end of the window.
inline double idlePollReferenceCpuPercent(int count, double seconds) {
  std::vector<int> masters;
  std::vector<std::thread> threads;
  const int limitMs = static_cast<int>(seconds * 1000) + 5000;
  for (int i = 0; i < count; ++i) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) break;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    masters.push_back(master);
    threads.emplace_back([slave, limitMs] {
      pollfd p{slave, POLLIN, 0};
      ::poll(&p, 1, limitMs);
      ::close(slave);
    });
  }
  // Let every thread reach its poll before the window opens.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double percent = idleWindowCpuPercent(seconds);
  for (int master : masters) (void)!::write(master, "x\n", 2);
  for (auto& t : threads) t.join();
  for (int master : masters) ::close(master);
  return percent;
}

}  // namespace bench
