// Loopback device figures: throughput per direction, write-to-read latency,
// and the CPU that idle devices cost, at 15 ms and 1 ms "Thread granularity"
// and at 0, where the worker threads wait for their work. The figures at 0
// stand beside references from the same run: the round trip through pipes and
// one relay thread (a plain handoff) or two (the device's shape, its TX and RX
// threads), a pipe copy between two threads, and threads parked in poll() for
// the idle CPU. One "name value unit" line per figure; idle_8_devices_cpu is
// at 15 ms.
#include <zor/zor.h>

#include "bench_common.h"
#include "bench_pty.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zor;
using bench::Clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Bytes per second through the loopback path: the writer keeps the TX ring
// fed, the reader drains the RX ring; both directions carry the same bytes.
void throughput(long granularity) {
  theApp.m_threadGranularity = granularity;
  CDevNull dev;
  dev.Loopback(true);
  dev.OpenDevice(0, 1 << 16, 1 << 16);
  std::vector<unsigned char> chunk(4096, 0x55), sink(1 << 16);
  const double duration = 2.0;
  unsigned long long written = 0, read = 0;
  auto start = Clock::now();
  while (seconds(Clock::now() - start) < duration) {
    if (dev.GetMaxTransferSize() >= chunk.size() && dev.WriteBuffer(chunk.data(), chunk.size()))
      written += chunk.size();
    read += dev.ReadBuffer(sink.data(), sink.size());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  double elapsed = seconds(Clock::now() - start);
  double bound = 1024.0 / (static_cast<double>(granularity) / 1000.0);
  std::printf("loopback_tx_Bps_g%ld %.0f B/s\n", granularity, (written - dev.GetTxBufferCount()) / elapsed);
  std::printf("loopback_rx_Bps_g%ld %.0f B/s\n", granularity, read / elapsed);
  std::printf("loopback_bound_Bps_g%ld %.0f B/s\n", granularity, bound);
  std::printf("loopback_rx_of_bound_g%ld %.1f %%\n", granularity, 100.0 * read / elapsed / bound);
  dev.CloseDevice();
}

void latency(long granularity) {
  theApp.m_threadGranularity = granularity;
  CDevNull dev;
  dev.Loopback(true);
  dev.OpenDevice(0, 8192, 8192);
  std::vector<double> ms;
  for (int i = 0; i < 200; ++i) {
    unsigned char b = static_cast<unsigned char>(i), got = 0;
    auto start = Clock::now();
    dev.WriteByte(b);
    for (int tries = 0; tries < 1000 && !dev.RXQueue(); ++tries)
      WaitForSingleObject(dev.DataReadyEvent(), 10);
    got = dev.ReadByte();
    ms.push_back(seconds(Clock::now() - start) * 1000.0);
    if (got != b) std::fprintf(stderr, "latency: byte %d came back as %d\n", b, got);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("loopback_latency_p50_g%ld %.2f ms\n", granularity, ms[ms.size() / 2]);
  std::printf("loopback_latency_p99_g%ld %.2f ms\n", granularity, ms[ms.size() * 99 / 100]);
}

// ---- granularity 0 ----

constexpr unsigned long kMessage = 16;

void fillMessage(unsigned char* out, int trip) {
  for (unsigned long j = 0; j < kMessage; ++j) out[j] = static_cast<unsigned char>(trip + j);
}

// Write 16 bytes, wait for them to come back, compare.
bool deviceTrip(CDevNull& dev, int trip) {
  unsigned char out[kMessage], in[kMessage];
  fillMessage(out, trip);
  auto t = Clock::now();
  if (!dev.WriteBuffer(out, kMessage)) return false;
  unsigned long got = 0;
  while (got < kMessage && bench::usSince(t) < 1e6) {
    unsigned long n = dev.ReadBuffer(in + got, kMessage - got);
    got += n;
    if (n == 0) WaitForSingleObject(dev.DataReadyEvent(), 50);
  }
  return got == kMessage && std::memcmp(in, out, kMessage) == 0;
}

// A relay thread: what comes in on `from` goes out on `to`, until `from` closes
// or stays silent for a second.
std::thread relayThread(int from, int to) {
  return std::thread([from, to] {
    char buf[256];
    for (int i = 0; i < 1000000; ++i) {
      pollfd p{from, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      ssize_t n = ::read(from, buf, sizeof buf);
      if (n <= 0 || ::write(to, buf, static_cast<std::size_t>(n)) != n) break;
    }
  });
}

// The reference trips: the message goes from the caller through `hops` relay
// threads and pipes and back. One hop is the plain thread handoff; two hops
// have the device's shape, whose TX and RX threads stand between write and read.
class PipeChain {
public:
  explicit PipeChain(int hops) {
    m_pipes.resize(static_cast<std::size_t>(hops) + 1);
    for (auto& p : m_pipes)
      if (::pipe(p.data()) != 0) p = {-1, -1};
    for (int i = 0; i < hops; ++i) m_relays.push_back(relayThread(m_pipes[i][0], m_pipes[i + 1][1]));
  }
  ~PipeChain() {
    // Closing each write end in turn lets every relay see the end of its input.
    for (std::size_t i = 0; i < m_pipes.size(); ++i) {
      if (m_pipes[i][1] >= 0) ::close(m_pipes[i][1]);
      if (i < m_relays.size()) m_relays[i].join();
    }
    for (auto& p : m_pipes)
      if (p[0] >= 0) ::close(p[0]);
  }
  bool trip(int trip) {
    unsigned char out[kMessage], in[kMessage];
    fillMessage(out, trip);
    if (::write(m_pipes.front()[1], out, kMessage) != static_cast<ssize_t>(kMessage)) return false;
    unsigned long got = 0;
    for (int i = 0; got < kMessage && i < 100; ++i) {
      pollfd p{m_pipes.back()[0], POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) return false;
      ssize_t n = ::read(m_pipes.back()[0], in + got, kMessage - got);
      if (n <= 0) return false;
      got += static_cast<unsigned long>(n);
    }
    return got == kMessage && std::memcmp(in, out, kMessage) == 0;
  }

private:
  std::vector<std::array<int, 2>> m_pipes;
  std::vector<std::thread> m_relays;
};

void roundTripsG0() {
  theApp.m_threadGranularity = 0;
  CDevNull sync, overlapped, logged;
  sync.Loopback(true);
  overlapped.Loopback(true);
  logged.Loopback(true);
  // A monitor that writes every record to its traffic log file.
  const std::string logFile = "/tmp/zor_bench_loopback_" + std::to_string(::getpid()) + ".txt";
  CMonitorDlg* monitor = logged.Monitor();
  monitor->SetView(MONITOR_VIEW_HEX);
  monitor->ToggleLogFile(logFile.c_str());
  logged.InstallLogger(&CMonitorDlg::LogCallback, reinterpret_cast<long>(monitor));
  if (!sync.OpenDevice(0, 8192, 8192) || !overlapped.OpenDevice(3, 8192, 8192) ||
      !logged.OpenDevice(0, 8192, 8192)) {
    std::printf("# loopback_rtt_g0: open failed\n");
    return;
  }
  PipeChain oneHop(1), twoHops(2);
  std::vector<bench::TripPath> paths;
  paths.emplace_back("loopback_rtt_g0_sync", [&](int i) { return deviceTrip(sync, i); });
  paths.emplace_back("loopback_rtt_g0_sync_log_file", [&](int i) { return deviceTrip(logged, i); });
  paths.emplace_back("loopback_rtt_g0_overlapped", [&](int i) { return deviceTrip(overlapped, i); });
  paths.emplace_back("loopback_rtt_ref_thread_pipe", [&](int i) { return oneHop.trip(i); });
  paths.emplace_back("loopback_rtt_ref_2relay_pipe", [&](int i) { return twoHops.trip(i); });
  bench::runTripsInRounds(paths, 5, 400, 5, 1.0);
  sync.CloseDevice();
  overlapped.CloseDevice();
  logged.CloseDevice();
  logged.InstallLogger(nullptr, 0);
  monitor->ToggleLogFile(nullptr);
  std::remove(logFile.c_str());
}

constexpr unsigned long long kBulkLimit = 1ull << 30;
constexpr double kBulkSeconds = 2.0;

// Both directions at once: the writer keeps at most half the RX ring in
// flight, so that no ring along the way overruns and every byte comes back.
void throughputG0() {
  theApp.m_threadGranularity = 0;
  const int ring = 1 << 16;
  CDevNull dev;
  dev.Loopback(true);
  if (!dev.OpenDevice(0, ring, ring)) {
    std::printf("# loopback_g0: open failed\n");
    return;
  }
  std::vector<unsigned char> chunk(4096, 0x55), sink(1 << 16);
  unsigned long long written = 0, read = 0;
  auto start = Clock::now();
  while (read < kBulkLimit && bench::secondsSince(start) < kBulkSeconds) {
    bool moved = false;
    if (written - read + chunk.size() <= ring / 2 && dev.GetMaxTransferSize() >= chunk.size() &&
        dev.WriteBuffer(chunk.data(), static_cast<unsigned long>(chunk.size()))) {
      written += chunk.size();
      moved = true;
    }
    unsigned long n = dev.ReadBuffer(sink.data(), static_cast<unsigned long>(sink.size()));
    read += n;
    if (!moved && n == 0) WaitForSingleObject(dev.DataReadyEvent(), 5);
  }
  double elapsed = bench::secondsSince(start);
  std::printf("loopback_tx_MBps_g0 %.1f MB/s\n", (written - dev.GetTxBufferCount()) / elapsed / 1e6);
  std::printf("loopback_rx_MBps_g0 %.1f MB/s\n", read / elapsed / 1e6);
  dev.CloseDevice();
}

// A writer thread and a reader copying through a pipe, in the same chunks.
void throughputReference() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<char> chunk(4096, 0x55);
    for (unsigned long long sent = 0; sent < kBulkLimit && !stop;) {
      ssize_t w = ::write(fds[1], chunk.data(), chunk.size());
      if (w <= 0) break;
      sent += static_cast<unsigned long long>(w);
    }
    ::close(fds[1]);
  });
  std::vector<char> sink(1 << 16);
  unsigned long long read = 0;
  auto start = Clock::now();
  while (read < kBulkLimit && bench::secondsSince(start) < kBulkSeconds) {
    ssize_t n = ::read(fds[0], sink.data(), sink.size());
    if (n <= 0) break;
    read += static_cast<unsigned long long>(n);
  }
  double elapsed = bench::secondsSince(start);
  stop = true;
  // Drained to the end, so that a write in progress completes and the writer sees the stop.
  while (::read(fds[0], sink.data(), sink.size()) > 0) {
  }
  writer.join();
  ::close(fds[0]);
  std::printf("loopback_ref_pipe_copy_MBps %.1f MB/s\n", read / elapsed / 1e6);
}

// Eight open devices, half synchronous and half overlapped, doing nothing.
double idleCpu(long granularity) {
  theApp.m_threadGranularity = granularity;
  std::vector<std::unique_ptr<CDevNull>> devices;
  for (int i = 0; i < 8; ++i) {
    devices.push_back(std::make_unique<CDevNull>());
    devices.back()->Loopback(true);
    devices.back()->OpenDevice(i % 2 ? 3 : 0, 8192, 8192);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double percent = bench::idleWindowCpuPercent(5.0);
  for (auto& dev : devices) dev->CloseDevice();
  return percent;
}

}  // namespace

int main() {
  theApp.InitInstance();
  for (long g : {15L, 1L}) throughput(g);
  for (long g : {15L, 1L}) latency(g);
  roundTripsG0();
  throughputG0();
  throughputReference();
  bench::printCpu("idle_8_devices_cpu_g0", idleCpu(0));
  bench::printCpu("idle_8_devices_cpu", idleCpu(15));
  bench::printCpu("idle_8_devices_cpu_ref_poll", bench::idlePollReferenceCpuPercent(8, 5.0));
  return 0;
}
