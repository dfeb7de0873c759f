// Costs of the platform layer's waits and of overlapped completion through the reactor.
#include "zor/platform/fd_handle.h"
#include "zor/platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace zor;
using Clock = std::chrono::steady_clock;

namespace {

double microsSince(Clock::time_point start, int count) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

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

// A byte written to a pipe while an overlapped read waits for it.
void overlappedReadLatency() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  HANDLE in = handleFromFd(fds[0], true);
  OVERLAPPED ovl{};
  ovl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  constexpr int kRounds = 5000;
  char byte;
  DWORD n;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (ReadFile(in, &byte, 1, &n, &ovl) || GetLastError() != ERROR_IO_PENDING) break;
    if (::write(fds[1], "x", 1) != 1) break;
    if (!GetOverlappedResult(in, &ovl, &n, TRUE)) break;
  }
  std::printf("overlapped_pipe_read_completion %.2f us\n", microsSince(start, kRounds));
  CloseHandle(ovl.hEvent);
  CloseHandle(in);
  ::close(fds[1]);
}

// Synchronous pipe throughput through ReadFile/WriteFile, 64 KiB at a time.
void pipeThroughput() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  HANDLE in = handleFromFd(fds[0], false);
  HANDLE out = handleFromFd(fds[1], false);
  constexpr std::size_t kChunk = 65536;
  constexpr std::size_t kTotal = std::size_t{256} << 20;
  std::thread writer([&] {
    std::vector<char> data(kChunk, 'a');
    DWORD n;
    for (std::size_t sent = 0; sent < kTotal; sent += kChunk)
      if (!WriteFile(out, data.data(), kChunk, &n, nullptr)) break;
  });
  std::vector<char> buf(kChunk);
  std::size_t got = 0;
  auto start = Clock::now();
  DWORD n;
  while (got < kTotal && ReadFile(in, buf.data(), kChunk, &n, nullptr)) got += n;
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  std::printf("pipe_sync_throughput %.0f MB/s\n", got / seconds / 1e6);
  CloseHandle(in);
  CloseHandle(out);
}

}  // namespace

int main() {
  eventRoundTrip();
  overlappedReadLatency();
  pipeThroughput();
  return 0;
}
