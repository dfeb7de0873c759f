// Throughput of the circular buffer: chunks put and taken back, as a device's
// worker thread and its application do, with and without the ring's mutex,
// and in place (the receiver's read into the free span, then the commit).
// Beside it, the same traffic through a ring that moves a byte at a time, as
// the ring did before its block copies: the reference of the same run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "utils/circbuff.h"

namespace {

constexpr int kCapacity = 8192;
constexpr int kChunk = 512;
constexpr long long kTotalBytes = 256LL * 1024 * 1024;

// The byte-at-a-time ring: positions advanced per byte, as the reference.
class ByteRing {
public:
  explicit ByteRing(int size) : m_buffer(static_cast<std::size_t>(size)), m_size(size) {}
  void put(const unsigned char* data, int n) {
    for (int i = 0; i < n; ++i) {
      m_buffer[static_cast<std::size_t>(m_in.load(std::memory_order_relaxed))] = data[i];
      advance(m_in);
    }
  }
  int get(unsigned char* out, int max) {
    int n = 0;
    while (n < max && m_in.load(std::memory_order_relaxed) != m_out.load(std::memory_order_relaxed)) {
      out[n++] = m_buffer[static_cast<std::size_t>(m_out.load(std::memory_order_relaxed))];
      advance(m_out);
    }
    return n;
  }

private:
  void advance(std::atomic<int>& pos) {
    int next = pos.load(std::memory_order_relaxed) + 1;
    pos.store(next == m_size ? 0 : next, std::memory_order_relaxed);
  }
  std::vector<unsigned char> m_buffer;
  int m_size;
  std::atomic<int> m_in{0}, m_out{0};
};

template <class Move>
double mbps(Move move) {
  std::vector<unsigned char> in(kChunk), out(kChunk);
  for (int i = 0; i < kChunk; ++i) in[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
  unsigned long checksum = 0;
  auto start = std::chrono::steady_clock::now();
  for (long long moved = 0; moved < kTotalBytes;) {
    int got = move(in.data(), out.data());
    if (got <= 0) break;
    checksum += out[static_cast<std::size_t>(got - 1)];
    moved += got;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (checksum == 0) std::fprintf(stderr, "unexpected checksum\n");
  return static_cast<double>(kTotalBytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main() {
  zor::CircBuff<unsigned char> ring;
  ring.create(kCapacity, false);
  std::printf("circbuff_put_get_MBps %.0f MB/s\n", mbps([&](const unsigned char* in, unsigned char* out) {
                ring.put(in, kChunk);
                return ring.get(out, kChunk);
              }));
  std::printf("circbuff_locked_put_get_MBps %.0f MB/s\n",
              mbps([&](const unsigned char* in, unsigned char* out) {
                {
                  zor::CSingleLock lock(ring.mutex(), true);
                  ring.put(in, kChunk);
                }
                zor::CSingleLock lock(ring.mutex(), true);
                return ring.get(out, kChunk);
              }));
  std::printf("circbuff_in_place_get_MBps %.0f MB/s\n",
              mbps([&](const unsigned char* in, unsigned char* out) {
                unsigned char* span = nullptr;
                int n = std::min(ring.freeSpan(&span), kChunk);
                std::memcpy(span, in, static_cast<std::size_t>(n));  // the read(2) into the span
                {
                  zor::CSingleLock lock(ring.mutex(), true);
                  ring.commit(span, n);
                }
                zor::CSingleLock lock(ring.mutex(), true);
                return ring.get(out, kChunk);
              }));
  ByteRing reference(kCapacity);
  std::printf("circbuff_ref_byte_ring_put_get_MBps %.0f MB/s\n",
              mbps([&](const unsigned char* in, unsigned char* out) {
                reference.put(in, kChunk);
                return reference.get(out, kChunk);
              }));
  return 0;
}
