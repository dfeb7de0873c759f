// TCP remote access figures: round trip and echoed throughput from a CDevTcp
// through the relay server to a loopback device and back, at the default and
// at 1 ms "Thread granularity", and a 16-byte round trip with both ends at 0,
// next to a plain TCP echo on loopback from the same run: through the
// platform layer's TCP connections (tcp_plain_round_trip, tcp_plain_echo_Bps,
// tcp_socket_calls_rtt16) and through the kernel's sockets alone
// (tcp_plain_rtt16, the limit), and again with the process on one core
// (*_one_core). And the program: "zor remote --headless"
// serving a loopback at 0 to a client of plain sockets that takes the call
// back (zor_remote_program_rtt16_g0), beside socat echoing through a pipe to
// the same client (socat_pipe_rtt16), in the same rounds. One "name value
// unit" line per figure.
#include <zor/devtcp.h>
#include <zor/zor.h>

#include "zor/platform/tcp.h"
#include "zor/remote/remoteserver.h"

#include "bench_common.h"
#include "one_core.h"
#include "posix_echo.h"
#include "posix_peer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using namespace zor;
using bench::Clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void printLatency(const char* name, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  std::printf("%s_p50 %.2f ms\n", name, ms[ms.size() / 2]);
  std::printf("%s_p99 %.2f ms\n", name, ms[ms.size() * 99 / 100]);
}

// ---- through the library ----

// A loopback echo device served by the relay, and a client linked to it.
struct RelayRig {
  CDevNull echo;
  CRemoteServer server{&echo, nullptr};
  CDevTcp client{"127.0.0.1"};
  bool linked = false;

  explicit RelayRig(int ringSize = 1 << 16) {
    echo.Loopback(true);
    echo.OpenDevice(0, ringSize, ringSize);
    if (!server.Start()) {
      std::fprintf(stderr, "bench_tcp: port %d is taken\n", CDevTcp::TCP_PORT);
      return;
    }
    linked = client.OpenDevice(0, ringSize, ringSize);
    if (!linked) std::fprintf(stderr, "bench_tcp: the client did not connect\n");
  }
  ~RelayRig() {
    client.CloseDevice();
    server.Stop();
    echo.CloseDevice();
  }
};

void relay(long granularity) {
  theApp.m_threadGranularity = granularity;
  RelayRig rig;
  if (!rig.linked) return;
  CDevTcp& client = rig.client;

  std::vector<double> ms;
  for (int i = 0; i < 100; ++i) {
    unsigned char b = static_cast<unsigned char>(i);
    auto start = Clock::now();
    client.WriteByte(b);
    for (int tries = 0; tries < 500 && !client.RXQueue(); ++tries)
      WaitForSingleObject(client.DataReadyEvent(), 10);
    unsigned char got = client.ReadByte();
    ms.push_back(seconds(Clock::now() - start) * 1000.0);
    if (got != b) std::fprintf(stderr, "bench_tcp: byte %d came back as %d\n", b, got);
  }
  char name[64];
  std::snprintf(name, sizeof name, "tcp_relay_round_trip_g%ld", granularity);
  printLatency(name, ms);

  std::vector<unsigned char> chunk(4096, 0x5A), sink(1 << 16);
  unsigned long long written = 0, read = 0;
  const double duration = 2.0;
  auto start = Clock::now();
  while (seconds(Clock::now() - start) < duration) {
    // Keep at most 32 KiB in flight so that no ring along the way overruns.
    if (written - read < 32768 && client.GetMaxTransferSize() >= chunk.size() &&
        client.WriteBuffer(chunk.data(), static_cast<unsigned long>(chunk.size())))
      written += chunk.size();
    read += client.ReadBuffer(sink.data(), static_cast<unsigned long>(sink.size()));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  double elapsed = seconds(Clock::now() - start);
  std::printf("tcp_relay_echo_Bps_g%ld %.0f B/s\n", granularity, read / elapsed);
}

// ---- plain TCP echo with the platform layer's connections alone ----

// A TCP echo on 127.0.0.1:40767 with the platform layer's connections alone:
// a thread echoes what the client connection sends.
class PlainEcho {
public:
  PlainEcho() {
    const TcpAddress at{parseIpv4("127.0.0.1"), 40767};
    DWORD error = 0;
    if (!m_listener.open(at, &error, 1)) {
      std::fprintf(stderr, "bench_tcp: port 40767 is taken\n");
      return;
    }
    m_echoer = std::thread([this] {
      DWORD error = 0;
      // Bounded: the client connects at once or not at all.
      std::unique_ptr<TcpTransport> s = m_listener.accept(10000, nullptr, &error);
      if (!s) return;
      std::vector<char> buf(1024);
      for (;;) {
        long n = s->read(buf.data(), static_cast<unsigned long>(buf.size()), 10000, &error);
        if (n <= 0 || !s->writeAll(buf.data(), static_cast<unsigned long>(n), &error)) break;
      }
    });
    m_client = TcpTransport::connect(at, 10000, &error);
    m_ok = m_client != nullptr;
  }
  ~PlainEcho() {
    close();
    m_listener.wake();  // also ends an accept that never saw the client
    if (m_echoer.joinable()) m_echoer.join();
  }
  bool ok() const { return m_ok; }
  // Bytes of the next receive into buf; 0 when the connection ended or nothing came for 10 s.
  unsigned long next(char* buf, unsigned long size) {
    DWORD error = 0;
    long n = m_client ? m_client->read(buf, size, 10000, &error) : -1;
    return n > 0 ? static_cast<unsigned long>(n) : 0;
  }
  bool send(const char* data, unsigned long size) {
    DWORD error = 0;
    return m_client && m_client->writeAll(data, size, &error);
  }
  // Ends the echoer's receive, and any send in progress on the client.
  void close() {
    if (m_client) m_client->close();
  }

  bool trip(const char* out, char* in, unsigned long size) {
    if (!send(out, size)) return false;
    unsigned long got = 0;
    for (int i = 0; got < size && i < 100; ++i) {
      unsigned long n = next(in + got, size - got);
      if (n == 0) return false;
      got += n;
    }
    return got == size;
  }

private:
  TcpListener m_listener;
  std::unique_ptr<TcpTransport> m_client;
  std::thread m_echoer;
  bool m_ok = false;
};

void plainEcho() {
  PlainEcho echo;
  if (!echo.ok()) return;
  std::vector<double> ms;
  char b = 0;
  for (int i = 0; i < 1000; ++i) {
    auto start = Clock::now();
    if (!echo.trip(&b, &b, 1)) break;
    ms.push_back(seconds(Clock::now() - start) * 1000.0);
  }
  printLatency("tcp_plain_round_trip", ms);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<char> chunk(4096, 0x5A);
    while (!stop && echo.send(chunk.data(), static_cast<unsigned long>(chunk.size()))) {
    }
  });
  std::vector<char> sink(1 << 16);
  unsigned long long read = 0;
  auto start = Clock::now();
  while (seconds(Clock::now() - start) < 2.0) {
    unsigned long n = echo.next(sink.data(), static_cast<unsigned long>(sink.size()));
    if (n == 0) break;
    read += n;
  }
  double elapsed = seconds(Clock::now() - start);
  stop = true;
  std::printf("tcp_plain_echo_Bps %.0f B/s\n", read / elapsed);
  echo.close();  // ends the writer's send and the echoer's receive
  writer.join();
}

// 16 bytes through the relay with both ends at granularity 0, in rounds with
// the same trip through the plain echo. suffix names a second sitting.
void roundTripsG0(const std::string& suffix = "") {
  constexpr unsigned long kMessage = 16;
  theApp.m_threadGranularity = 0;
  RelayRig rig;
  if (!rig.linked) return;
  CDevTcp& client = rig.client;
  PlainEcho plain;
  bench::PosixTcpEcho kernel;
  if (!plain.ok() || !kernel.ok()) {
    std::fprintf(stderr, "bench_tcp: a plain echo did not connect\n");
    return;
  }

  auto fill = [](unsigned char* out, int trip) {
    for (unsigned long j = 0; j < kMessage; ++j) out[j] = static_cast<unsigned char>(trip + j);
  };
  auto relayTrip = [&](int trip) {
    unsigned char out[kMessage], in[kMessage];
    fill(out, trip);
    auto t = Clock::now();
    if (!client.WriteBuffer(out, kMessage)) return false;
    unsigned long got = 0;
    while (got < kMessage && bench::usSince(t) < 2e6) {
      unsigned long n = client.ReadBuffer(in + got, kMessage - got);
      got += n;
      if (n == 0) WaitForSingleObject(client.DataReadyEvent(), 50);
    }
    return got == kMessage && std::memcmp(in, out, kMessage) == 0;
  };
  auto plainTrip = [&](int trip) {
    unsigned char out[kMessage], in[kMessage];
    fill(out, trip);
    return plain.trip(reinterpret_cast<char*>(out), reinterpret_cast<char*>(in), kMessage) &&
           std::memcmp(in, out, kMessage) == 0;
  };
  auto kernelTrip = [&](int trip) {
    unsigned char out[kMessage], in[kMessage];
    fill(out, trip);
    return kernel.trip(reinterpret_cast<char*>(out), reinterpret_cast<char*>(in), kMessage) &&
           std::memcmp(in, out, kMessage) == 0;
  };
  std::vector<bench::TripPath> paths;
  paths.emplace_back("tcp_relay_rtt16_g0" + suffix, relayTrip);
  paths.emplace_back("tcp_socket_calls_rtt16" + suffix, plainTrip);
  paths.emplace_back("tcp_plain_rtt16" + suffix, kernelTrip);
  bench::runTripsInRounds(paths, 5, 200, 5, 1.0);
}

// The relay as a program against an echoing relay program, through the same
// plain client: the server's share of a round trip, the library's client aside.
void programsG0() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path program =
      fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "apps" / "zor";
  if (ec || !fs::exists(program)) {
    std::fprintf(stderr, "bench_tcp: %s is not built: no program figures\n", program.c_str());
    return;
  }
  const fs::path ini = fs::temp_directory_path() /
                       ("zor-bench-remote-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::ofstream(ini) << "[ZOR.DLL]\nThread granularity=0\nrunZor NumDev=3\nrunZor loopback=1\n";
  {
    bench::Program zor({program.string(), "remote", "--headless", "--bind", "127.0.0.1"},
                       {"ZOR_CONFIG=" + ini.string()});
    const std::string port = std::to_string(bench::freePort());
    bench::Program socat({"socat", "TCP-LISTEN:" + port + ",reuseaddr,bind=127.0.0.1", "PIPE"}, {});
    bench::PlainRelayClient viaZor(CDevTcp::TCP_PORT, true);
    bench::PlainRelayClient viaSocat(std::stoi(port), false);
    if (viaZor.ok() && viaSocat.ok()) {
      auto tripOf = [](bench::PlainRelayClient& client) {
        return [&client](int trip) {
          char out[16], in[16];
          for (int j = 0; j < 16; ++j) out[j] = static_cast<char>(trip + j);
          return client.trip(out, in, 16) && std::memcmp(in, out, 16) == 0;
        };
      };
      std::vector<bench::TripPath> paths;
      paths.emplace_back("zor_remote_program_rtt16_g0", tripOf(viaZor));
      paths.emplace_back("socat_pipe_rtt16", tripOf(viaSocat));
      bench::runTripsInRounds(paths, 5, 200, 5, 1.0);
    } else {
      std::fprintf(stderr, "bench_tcp: %s\n",
                   viaZor.ok() ? "socat did not answer" : "zor remote did not answer");
    }
  }
  fs::remove(ini, ec);
}

// CPU a waiting server costs: linked to an idle client, and with its device
// closed (the relay then waits in slices instead of polling).
void idleCpu() {
  theApp.m_threadGranularity = 15;
  RelayRig rig(8192);
  if (!rig.linked) return;
  auto measure = [](const char* name) {
    std::clock_t cpu0 = std::clock();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    std::printf("%s %.3f %% of one core\n", name, 100.0 * cpu / seconds(Clock::now() - start));
  };
  measure("tcp_idle_link_cpu");
  rig.echo.CloseDevice();
  measure("tcp_idle_link_device_closed_cpu");
}

}  // namespace

int main() {
  theApp.InitInstance();
  for (long g : {15L, 1L}) relay(g);
  roundTripsG0();
  {
    // The same rounds with every thread of both ends on one core: the
    // relay's own cost, where the kernel keeps the two threads of a round
    // trip together as it mostly does for the plain echo.
    bench::OneCore pinned;
    if (pinned.ok()) roundTripsG0("_one_core");
  }
  programsG0();
  plainEcho();
  idleCpu();
  return 0;
}
