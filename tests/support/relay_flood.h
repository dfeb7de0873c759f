// A served loopback that floods its relay while the client reads nothing:
// shared by the TCP and the local pipe relay's tests.
#pragma once

#include <zor/devnull.h>

#include "support/recorder.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zor_test {

// Bytes no one else sends: a running count, so that a lost or repeated
// stretch shows wherever it is.
inline std::vector<unsigned char> floodBytes(std::size_t from, std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((from + i) * 7 + (from + i) / 251);
  return v;
}

// Stuffs the served loopback in blocks until its receive ring stays full,
// that is until the relay is held by a client that reads nothing and every
// buffer on the way is full (at most maxBytes). Returns what went in, in order.
inline std::vector<unsigned char> floodUntilHeld(zor::CDevNull& echo, unsigned long ring,
                                                 std::size_t maxBytes) {
  std::vector<unsigned char> sent;
  // Growing blocks: whatever the buffers on the way hold, a few suffice; what
  // the relay cannot take at once waits in the loopback's queue.
  for (std::size_t block = 64 * 1024; sent.size() < maxBytes;
       block = std::min<std::size_t>(2 * block, 4u << 20)) {
    const auto bytes = floodBytes(sent.size(), block);
    if (!echo.Stuff(bytes.data(), static_cast<int>(bytes.size()))) break;
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    auto full = [&] { return echo.GetRxBufferCount() + 1 >= ring; };
    // Full twice, a while apart: a relay that only lags behind empties it in between.
    if (!waitUntil(full, 300)) continue;
    zor::Sleep(100);
    if (full()) break;
  }
  return sent;
}

}  // namespace zor_test
