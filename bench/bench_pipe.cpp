// Local pipe figures: a 16-byte round trip and the echoed throughput from a
// CDevNet through the intranet relay to a loopback device and back, at the
// default "Thread granularity" and at 0, next to a plain echo over a Unix
// stream socket pair from the same run (unix_plain_*, the limit), and both
// again at 0 with the process on one core (*_g0_one_core). One "name value
// unit" line per figure.
#include <zor/devnet.h>
#include <zor/zor.h>

#include "zor/remote/intranetserver.h"

#include "bench_common.h"
#include "one_core.h"
#include "posix_echo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace zor;
using bench::Clock;

namespace {

constexpr unsigned long kMessage = 16;

// A loopback echo served by the intranet relay, and a client linked to it.
struct PipeRig {
  CDevNull echo;
  CIntranetServer server{&echo, nullptr};
  CDevNet client{"."};
  bool linked = false;

  PipeRig() {
    echo.Loopback(true);
    echo.OpenDevice(0, 1 << 16, 1 << 16);
    if (!server.Start()) {
      std::fprintf(stderr, "bench_pipe: the pipes could not be made\n");
      return;
    }
    linked = client.OpenDevice(0, 1 << 16, 1 << 16);
    if (!linked) std::fprintf(stderr, "bench_pipe: the client did not connect\n");
  }
  ~PipeRig() {
    client.CloseDevice();
    server.Stop();
    echo.CloseDevice();
  }

  bool trip(int n) {
    unsigned char out[kMessage], in[kMessage];
    for (unsigned long j = 0; j < kMessage; ++j) out[j] = static_cast<unsigned char>(n + j);
    auto t = Clock::now();
    if (!client.WriteBuffer(out, kMessage)) return false;
    unsigned long got = 0;
    while (got < kMessage && bench::usSince(t) < 2e6) {
      unsigned long k = client.ReadBuffer(in + got, kMessage - got);
      got += k;
      if (k == 0) WaitForSingleObject(client.DataReadyEvent(), 50);
    }
    return got == kMessage && std::memcmp(in, out, kMessage) == 0;
  }

  // Echoed bytes per second for two seconds, at most 32 KiB in flight.
  double throughput() {
    std::vector<unsigned char> chunk(4096, 0x5A), sink(1 << 16);
    unsigned long long written = 0, read = 0;
    auto start = Clock::now();
    for (int i = 0; i < 10000000 && bench::secondsSince(start) < 2.0; ++i) {
      if (written - read < 32768 &&
          client.WriteBuffer(chunk.data(), static_cast<unsigned long>(chunk.size())))
        written += chunk.size();
      unsigned long n = client.ReadBuffer(sink.data(), static_cast<unsigned long>(sink.size()));
      read += n;
      if (n == 0) WaitForSingleObject(client.DataReadyEvent(), 5);
    }
    return static_cast<double>(read) / bench::secondsSince(start);
  }
};

double plainThroughput(bench::PosixTcpEcho& plain) {
  std::vector<char> chunk(4096, 0x5A);
  unsigned long long moved = 0;
  auto start = Clock::now();
  for (int i = 0; i < 10000000 && bench::secondsSince(start) < 2.0; ++i) {
    if (!plain.trip(chunk.data(), chunk.data(), static_cast<unsigned long>(chunk.size()))) break;
    moved += chunk.size();
  }
  return static_cast<double>(moved) / bench::secondsSince(start);
}

}  // namespace

int main() {
  // A pipe folder of the run's own, so that no server of the user's is disturbed.
  std::string folder = "/tmp/zor-bench-pipe-" + std::to_string(getpid());
  setenv("ZOR_PIPE_DIR", folder.c_str(), 1);
  theApp.InitInstance();
  for (long g : {15L, 0L, -1L}) {
    // -1: granularity 0 again with every thread on one core (the relay's own
    // cost where the kernel keeps a round trip's threads together).
    std::unique_ptr<bench::OneCore> pinned;
    if (g < 0 && !(pinned = std::make_unique<bench::OneCore>())->ok()) break;
    const std::string name = g < 0 ? "g0_one_core" : "g" + std::to_string(g);
    theApp.m_threadGranularity = g < 0 ? 0 : g;
    PipeRig rig;
    // The plain echo gives up after 5 s of silence: one for each set of rounds.
    bench::PosixTcpEcho plain(bench::PosixTcpEcho::Medium::Unix);
    if (!rig.linked || !plain.ok()) return 1;
    auto plainTrip = [&](int n) {
      char out[kMessage], in[kMessage];
      std::memset(out, n, kMessage);
      return plain.trip(out, in, kMessage) && std::memcmp(in, out, kMessage) == 0;
    };
    std::vector<bench::TripPath> paths;
    paths.emplace_back("pipe_relay_rtt16_" + name, [&](int n) { return rig.trip(n); });
    paths.emplace_back("unix_plain_rtt16_during_" + name, plainTrip);
    bench::runTripsInRounds(paths, 5, g == 15 ? 40 : 200, 3, 1.0);
    if (g < 0) continue;
    std::printf("pipe_relay_echo_Bps_g%ld %.0f B/s\n", g, rig.throughput());
    std::printf("unix_plain_echo_Bps_during_g%ld %.0f B/s\n", g, plainThroughput(plain));
  }
  rmdir(folder.c_str());
  return 0;
}
