// Costs of the platform layer's waits and of the transports' transfers, each
// next to the plain POSIX way of doing the same, measured in the same run
// (plain_*, the limit). One "name value unit" line per figure.
#include "zor/platform/file_transport.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/platform.h"

#include "bench_common.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace zor;
using bench::Clock;

namespace {

double microsSince(Clock::time_point start, int count) { return bench::usSince(start) / count; }

// Two threads hand an automatic event back and forth.
void eventRoundTrip() {
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  constexpr int kRounds = 20000;
  std::thread peer([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (WaitForSingleObject(ping, 5000) != WAIT_OBJECT_0) return;
      SetEvent(pong);
    }
  });
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    SetEvent(ping);
    if (WaitForSingleObject(pong, 5000) != WAIT_OBJECT_0) break;
  }
  std::printf("event_round_trip %.2f us\n", microsSince(start, kRounds));
  peer.join();
  CloseHandle(ping);
  CloseHandle(pong);
}

// The same hand-over on a mutex and two condition variables.
void plainEventRoundTrip() {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;  // even: the peer's, odd: ours
  constexpr int kRounds = 20000;
  auto waitFor = [&](std::unique_lock<std::mutex>& lock, int value) {
    return cv.wait_for(lock, std::chrono::seconds(5), [&] { return turn == value; });
  };
  std::thread peer([&] {
    std::unique_lock lock(m);
    for (int i = 0; i < kRounds; ++i) {
      if (!waitFor(lock, 2 * i + 1)) return;
      ++turn;
      cv.notify_all();
    }
  });
  auto start = Clock::now();
  {
    std::unique_lock lock(m);
    for (int i = 0; i < kRounds; ++i) {
      ++turn;
      cv.notify_all();
      if (!waitFor(lock, 2 * i + 2)) break;
    }
  }
  std::printf("plain_condvar_round_trip %.2f us\n", microsSince(start, kRounds));
  peer.join();
}

// The direct wait for events and a descriptor, on a pipe that holds a byte,
// against poll(2) on it.
void readableWait() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  if (::write(fds[1], "x", 1) != 1) return;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  constexpr int kRounds = 100000;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i)
    if (WaitForMultipleObjectsOrReadable(1, &event, fds[0], 1000) != WAIT_OBJECT_0 + 1) break;
  std::printf("direct_wait_readable %.3f us\n", microsSince(start, kRounds));
  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) break;
  }
  std::printf("plain_poll_readable %.3f us\n", microsSince(start, kRounds));
  CloseHandle(event);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A byte sent one way and answered the other, each side waiting for it in
// its read: how soon a transfer's wait ends once data is there.
using Step = std::function<bool()>;
double byteRoundTrip(const Step& sendA, const Step& receiveA, const Step& sendB, const Step& receiveB) {
  constexpr int kRounds = 5000;
  std::thread peer([&] {
    for (int i = 0; i < kRounds; ++i)
      if (!receiveB() || !sendB()) return;
  });
  int done = 0;
  auto start = Clock::now();
  for (; done < kRounds; ++done)
    if (!sendA() || !receiveA()) break;
  double us = microsSince(start, done > 0 ? done : 1);
  peer.join();
  return us;
}

// Side a reads aIn and writes aOut, side b the other ends.
void transportRoundTrip(const char* name, Transport& aIn, Transport& aOut, Transport& bIn, Transport& bOut) {
  auto send = [](Transport& t) -> Step {
    return [&t] {
      DWORD error = 0;
      return t.write("x", 1, 1000, &error) == 1;
    };
  };
  auto receive = [](Transport& t) -> Step {
    return [&t] {
      char byte;
      DWORD error = 0;
      return t.read(&byte, 1, 1000, &error) == 1;
    };
  };
  std::printf("%s %.2f us\n", name, byteRoundTrip(send(aOut), receive(aIn), send(bOut), receive(bIn)));
}

void plainRoundTrip(const char* name, int aIn, int aOut, int bIn, int bOut) {
  auto send = [](int fd) -> Step { return [fd] { return ::write(fd, "x", 1) == 1; }; };
  auto receive = [](int fd) -> Step {
    return [fd] {
      char byte;
      return ::read(fd, &byte, 1) == 1;
    };
  };
  std::printf("%s %.2f us\n", name, byteRoundTrip(send(aOut), receive(aIn), send(bOut), receive(bIn)));
}

void pipeRoundTrips() {
  int ab[2], ba[2];
  if (pipe2(ab, O_CLOEXEC) == 0 && pipe2(ba, O_CLOEXEC) == 0) {
    FileTransport aIn(ba[0]), aOut(ab[1]), bIn(ab[0]), bOut(ba[1]);
    transportRoundTrip("file_transport_fifo_rtt1", aIn, aOut, bIn, bOut);
  }
  if (pipe2(ab, O_CLOEXEC) == 0 && pipe2(ba, O_CLOEXEC) == 0) {
    plainRoundTrip("plain_fifo_rtt1", ba[0], ab[1], ab[0], ba[1]);
    for (int fd : {ab[0], ab[1], ba[0], ba[1]}) ::close(fd);
  }
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) == 0) {
    // One transport serves both directions of its end.
    PipeTransport a(sv[0]), b(sv[1]);
    transportRoundTrip("pipe_transport_socket_rtt1", a, a, b, b);
  }
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
    plainRoundTrip("plain_socket_rtt1", sv[0], sv[0], sv[1], sv[1]);
    ::close(sv[0]);
    ::close(sv[1]);
  }
}

// How soon cancel() from another thread ends a read that waits for data that
// never comes, per read begun and ended; against a poll(2) ended by a byte on
// a second pipe, the plain way to wake a waiting reader.
void cancelRead() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  FileTransport reader(fds[0]);
  constexpr int kRounds = 5000;
  std::atomic<int> ended{0};
  std::thread t([&] {
    char byte;
    DWORD error = 0;
    for (int i = 0; i < kRounds; ++i) {
      if (reader.read(&byte, 1, 5000, &error) != -1 || error != ERROR_OPERATION_ABORTED) break;
      ended.fetch_add(1, std::memory_order_release);
    }
  });
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    reader.cancel(true);
    // A cancel that finds no read waiting is kept for the next: one at a time.
    for (int spin = 0; ended.load(std::memory_order_acquire) <= i && spin < 50000000; ++spin)
      std::this_thread::yield();
    if (ended.load() <= i) break;
  }
  std::printf("file_transport_cancel_read %.2f us\n", microsSince(start, kRounds));
  t.join();
  reader.close();
  ::close(fds[1]);

  int data[2], wake[2];
  if (pipe2(data, O_CLOEXEC) != 0 || pipe2(wake, O_CLOEXEC) != 0) return;
  std::atomic<int> woken{0};
  std::thread p([&] {
    for (int i = 0; i < kRounds; ++i) {
      pollfd ps[2] = {{data[0], POLLIN, 0}, {wake[0], POLLIN, 0}};
      char byte;
      if (::poll(ps, 2, 5000) < 1 || !(ps[1].revents & POLLIN) || ::read(wake[0], &byte, 1) != 1) break;
      woken.fetch_add(1, std::memory_order_release);
    }
  });
  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (::write(wake[1], "w", 1) != 1) break;
    for (int spin = 0; woken.load(std::memory_order_acquire) <= i && spin < 50000000; ++spin)
      std::this_thread::yield();
    if (woken.load() <= i) break;
  }
  std::printf("plain_poll_wake %.2f us\n", microsSince(start, kRounds));
  p.join();
  for (int fd : {data[0], data[1], wake[0], wake[1]}) ::close(fd);
}

// Pipe throughput, 64 KiB at a time: through FileTransport on both ends,
// then through plain blocking read(2)/write(2).
template <class Write, class Read>
double throughput(Write writeChunk, Read readChunk) {
  constexpr std::size_t kChunk = 65536;
  constexpr std::size_t kTotal = std::size_t{256} << 20;
  std::thread writer([&] {
    std::vector<char> data(kChunk, 'a');
    for (std::size_t sent = 0; sent < kTotal;) {
      long n = writeChunk(data.data(), kChunk);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  });
  std::vector<char> buf(kChunk);
  std::size_t got = 0;
  auto start = Clock::now();
  while (got < kTotal) {
    long n = readChunk(buf.data(), kChunk);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  double seconds = bench::secondsSince(start);
  writer.join();
  return static_cast<double>(got) / seconds / 1e6;
}

void pipeThroughput() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    FileTransport in(fds[0]), out(fds[1]);
    double mbs = throughput(
        [&](const char* d, std::size_t n) {
          DWORD error = 0;
          return out.write(d, static_cast<unsigned long>(n), 5000, &error);
        },
        [&](char* b, std::size_t n) {
          DWORD error = 0;
          return in.read(b, static_cast<unsigned long>(n), 5000, &error);
        });
    std::printf("file_transport_fifo_throughput %.0f MB/s\n", mbs);
  }
  if (pipe2(fds, O_CLOEXEC) == 0) {
    // A writer left blocking once the reader stopped is ended by the reader's close (EPIPE).
    double mbs =
        throughput([&](const char* d, std::size_t n) { return static_cast<long>(::write(fds[1], d, n)); },
                   [&](char* b, std::size_t n) {
                     long k = static_cast<long>(::read(fds[0], b, n));
                     if (k <= 0) ::close(std::exchange(fds[0], -1));
                     return k;
                   });
    std::printf("plain_fifo_throughput %.0f MB/s\n", mbs);
    if (fds[0] >= 0) ::close(fds[0]);
    ::close(fds[1]);
  }
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  eventRoundTrip();
  plainEventRoundTrip();
  readableWait();
  pipeRoundTrips();
  cancelRead();
  pipeThroughput();
  return 0;
}
