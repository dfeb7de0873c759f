// TCP remote access figures: round trip and echoed throughput from a CDevTcp
// through the relay server to a loopback device and back, at the default and
// at 1 ms "Thread granularity", next to a plain TCP echo on loopback (the
// limit). One "name value unit" line per figure.
#include <zor/devtcp.h>
#include <zor/zor.h>

#include "zor/platform/socket.h"
#include "zor/remote/remoteserver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

using namespace zor;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void printLatency(const char* name, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  std::printf("%s_p50 %.2f ms\n", name, ms[ms.size() / 2]);
  std::printf("%s_p99 %.2f ms\n", name, ms[ms.size() * 99 / 100]);
}

// ---- through the library ----

void relay(long granularity) {
  theApp.m_threadGranularity = granularity;
  CDevNull echo;
  echo.Loopback(true);
  echo.OpenDevice(0, 1 << 16, 1 << 16);
  CRemoteServer server(&echo, nullptr);
  if (!server.Start()) {
    std::fprintf(stderr, "bench_tcp: port 40765 is taken\n");
    return;
  }
  CDevTcp client("127.0.0.1");
  if (!client.OpenDevice(0, 1 << 16, 1 << 16)) {
    std::fprintf(stderr, "bench_tcp: the client did not connect\n");
    return;
  }

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
  client.CloseDevice();
  server.Stop();
  echo.CloseDevice();
}

// ---- plain TCP echo with the socket calls alone ----

// Receives on s through its own completion port until the port is closed.
class Receiver {
public:
  explicit Receiver(SOCKET s)
      : m_socket(s), m_port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0)) {
    CreateIoCompletionPort(socketHandle(s), m_port, 1, 0);
  }
  ~Receiver() { CloseHandle(m_port); }
  // Bytes of the next receive into buf; 0 when the connection ended.
  DWORD next(char* buf, unsigned long size) {
    WSABUF desc{size, buf};
    DWORD n = 0, flags = 0;
    OVERLAPPED ovl{};
    int rc = WSARecv(m_socket, &desc, 1, &n, &flags, &ovl, nullptr);
    if (rc != 0 && static_cast<DWORD>(WSAGetLastError()) != WSA_IO_PENDING) return 0;
    ULONG_PTR key = 0;
    OVERLAPPED* done = nullptr;
    for (;;) {
      if (GetQueuedCompletionStatus(m_port, &n, &key, &done, 1000)) return n;
      if (done != nullptr || GetLastError() != WAIT_TIMEOUT) return 0;
    }
  }

private:
  SOCKET m_socket;
  HANDLE m_port;
};

void plainEcho() {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(40767);
  address.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order on this little-endian host
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    std::fprintf(stderr, "bench_tcp: port 40767 is taken\n");
    closesocket(listener);
    return;
  }
  std::thread echoer([&] {
    SOCKET s = accept(listener, nullptr, nullptr);
    Receiver rx(s);
    std::vector<char> buf(1024);
    while (DWORD n = rx.next(buf.data(), static_cast<unsigned long>(buf.size())))
      if (send(s, buf.data(), static_cast<int>(n), 0) != static_cast<int>(n)) break;
    closesocket(s);
  });
  SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  connect(c, reinterpret_cast<sockaddr*>(&address), sizeof address);
  {
    Receiver rx(c);
    std::vector<double> ms;
    char b = 0;
    for (int i = 0; i < 1000; ++i) {
      auto start = Clock::now();
      send(c, &b, 1, 0);
      rx.next(&b, 1);
      ms.push_back(seconds(Clock::now() - start) * 1000.0);
    }
    printLatency("tcp_plain_round_trip", ms);

    std::atomic<bool> stop{false};
    std::thread writer([&] {
      std::vector<char> chunk(4096, 0x5A);
      while (!stop && send(c, chunk.data(), static_cast<int>(chunk.size()), 0) > 0) {
      }
    });
    std::vector<char> sink(1 << 16);
    unsigned long long read = 0;
    auto start = Clock::now();
    while (seconds(Clock::now() - start) < 2.0)
      read += rx.next(sink.data(), static_cast<unsigned long>(sink.size()));
    double elapsed = seconds(Clock::now() - start);
    stop = true;
    std::printf("tcp_plain_echo_Bps %.0f B/s\n", read / elapsed);
    closesocket(c);  // ends the writer's send and the echoer's receive
    writer.join();
  }
  echoer.join();
  closesocket(listener);
}

// CPU a waiting server costs: linked to an idle client, and with its device
// closed (the relay then waits in slices instead of polling).
void idleCpu() {
  theApp.m_threadGranularity = 15;
  CDevNull echo;
  echo.Loopback(true);
  echo.OpenDevice(0, 8192, 8192);
  CRemoteServer server(&echo, nullptr);
  if (!server.Start()) return;
  CDevTcp client("127.0.0.1");
  if (!client.OpenDevice(0, 8192, 8192)) return;
  auto measure = [](const char* name) {
    std::clock_t cpu0 = std::clock();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    std::printf("%s %.3f %% of one core\n", name, 100.0 * cpu / seconds(Clock::now() - start));
  };
  measure("tcp_idle_link_cpu");
  echo.CloseDevice();
  measure("tcp_idle_link_device_closed_cpu");
  client.CloseDevice();
}

}  // namespace

int main() {
  theApp.InitInstance();
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  for (long g : {15L, 1L}) relay(g);
  plainEcho();
  idleCpu();
  WSACleanup();
  return 0;
}
