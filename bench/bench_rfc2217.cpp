// Network serial port figures, in one run: a 16-byte query and its answer at
// "Thread granularity" 0 from a CDevRfc2217 through the network serial port
// server (the channel "zor remote --protocol rfc2217" runs) to a loopback
// device and back; python3-serial's rfc2217:// client to the same server; and
// a plain TCP echo through the kernel's sockets, the limit. One "name value
// unit" line per figure.
#include <zor/devnull.h>
#include <zor/devrfc2217.h>
#include <zor/zor.h>

#include "zor/platform/tcp.h"
#include "zor/remote/socketserver.h"

#include "bench_common.h"
#include "posix_echo.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zor;
using bench::Clock;

namespace {

constexpr int kTrips = 500;
constexpr unsigned long kQuery = 16;

// python3-serial's client: the same exchange, its percentiles on standard output.
constexpr char kPythonClient[] = R"(
import serial, sys, time
s = serial.serial_for_url("rfc2217://127.0.0.1:%s" % sys.argv[1], timeout=2)
q = bytes(range(48, 64))
us = []
for _ in range(int(sys.argv[2])):
    t = time.perf_counter()
    s.write(q)
    if s.read(len(q)) != q:
        sys.exit("python3-serial: no answer")
    us.append((time.perf_counter() - t) * 1e6)
s.close()
us.sort()
print("rfc2217_pyserial_rtt16_p50 %.1f us" % us[len(us) // 2])
print("rfc2217_pyserial_rtt16_p99 %.1f us" % us[len(us) * 99 // 100])
)";

}  // namespace

int main() {
  theApp.m_threadGranularity = 0;
  CDevNull echo;
  echo.Loopback(true);
  if (!echo.OpenDevice(0, 1 << 16, 1 << 16)) return 1;
  CSocketServer server(CSocketServer::RFC2217, &echo, nullptr);
  if (!server.Start(0, parseIpv4("127.0.0.1"))) {
    std::fprintf(stderr, "bench_rfc2217: no port to listen on\n");
    return 1;
  }
  const int port = server.listeningPort();

  {
    CDevRfc2217 client("127.0.0.1", static_cast<unsigned short>(port));
    if (!client.OpenDevice(0, 1 << 16, 1 << 16)) {
      std::fprintf(stderr, "bench_rfc2217: the client did not open (%lu)\n",
                   static_cast<unsigned long>(GetLastError()));
      return 1;
    }
    std::vector<double> us;
    unsigned char query[kQuery], answer[kQuery];
    for (unsigned long i = 0; i < kQuery; ++i)
      query[i] = static_cast<unsigned char>(0xF0 + i);  // 0xFF among them
    for (int i = 0; i < kTrips; ++i) {
      const auto start = Clock::now();
      client.WriteBuffer(query, kQuery);
      unsigned long got = 0;
      for (int waits = 0; waits < 200 && got < kQuery; ++waits) {
        if (client.GetRxBufferCount() == 0) WaitForSingleObject(client.DataReadyEvent(), 10);
        got += client.ReadBuffer(answer + got, kQuery - got);
      }
      if (got == kQuery) us.push_back(bench::usSince(start));
    }
    bench::printPercentilesUs("rfc2217_device_rtt16_g0", us);
    client.CloseDevice();
  }

  std::fflush(stdout);
  const std::string cmd = "/usr/bin/python3 -c '" + std::string(kPythonClient) + "' " + std::to_string(port) +
                          " " + std::to_string(kTrips);
  if (std::system(cmd.c_str()) != 0) std::printf("# rfc2217_pyserial_rtt16: python3-serial not run\n");

  bench::PosixTcpEcho plain;
  std::vector<double> us;
  char out[kQuery] = {}, in[kQuery];
  for (int i = 0; plain.ok() && i < kTrips; ++i) {
    const auto start = Clock::now();
    if (plain.trip(out, in, kQuery)) us.push_back(bench::usSince(start));
  }
  bench::printPercentilesUs("tcp_plain_rtt16", us);
  server.Stop();
  echo.CloseDevice();
  return 0;
}
