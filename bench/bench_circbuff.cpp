// Throughput of the circular buffer: chunks put and taken back, as a device's
// worker thread and its application do, with and without the ring's mutex.
#include <chrono>
#include <cstdio>
#include <vector>

#include "utils/circbuff.h"

namespace {

constexpr int kCapacity = 8192;
constexpr int kChunk = 512;
constexpr long long kTotalBytes = 256LL * 1024 * 1024;

template <bool Locked>
double putGetMBps() {
  zor::CircBuff<unsigned char> ring;
  ring.create(kCapacity, false);
  std::vector<unsigned char> in(kChunk), out(kChunk);
  for (int i = 0; i < kChunk; ++i) in[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
  unsigned long checksum = 0;
  auto start = std::chrono::steady_clock::now();
  for (long long moved = 0; moved < kTotalBytes; moved += kChunk) {
    if constexpr (Locked) {
      zor::CSingleLock lock(ring.mutex(), true);
      ring.put(in.data(), kChunk);
    } else {
      ring.put(in.data(), kChunk);
    }
    int got;
    if constexpr (Locked) {
      zor::CSingleLock lock(ring.mutex(), true);
      got = ring.get(out.data(), kChunk);
    } else {
      got = ring.get(out.data(), kChunk);
    }
    checksum += out[static_cast<std::size_t>(got - 1)];
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (checksum == 0) std::fprintf(stderr, "unexpected checksum\n");
  return static_cast<double>(kTotalBytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main() {
  std::printf("circbuff_put_get_MBps %.0f MB/s\n", putGetMBps<false>());
  std::printf("circbuff_locked_put_get_MBps %.0f MB/s\n", putGetMBps<true>());
  return 0;
}
