// Loopback device figures: throughput per direction, write-to-read latency,
// and the CPU that idle devices cost. One "name value unit" line per figure.
#include <zor/zor.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

using namespace zor;
using Clock = std::chrono::steady_clock;

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

void idleCpu() {
  theApp.m_threadGranularity = 15;
  std::vector<std::unique_ptr<CDevNull>> devices;
  for (int i = 0; i < 8; ++i) {
    devices.push_back(std::make_unique<CDevNull>());
    devices.back()->Loopback(true);
    devices.back()->OpenDevice(i % 2 ? 3 : 0, 8192, 8192);
  }
  std::clock_t cpu0 = std::clock();
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  double wall = seconds(Clock::now() - start);
  std::printf("idle_8_devices_cpu %.3f %% of one core\n", 100.0 * cpu / wall);
}

}  // namespace

int main() {
  theApp.InitInstance();
  for (long g : {15L, 1L}) throughput(g);
  for (long g : {15L, 1L}) latency(g);
  idleCpu();
  return 0;
}
