// Serial device figures over pseudo-terminal pairs whose far end echoes or
// answers: write->read round trip (p50, p99) and throughput through CDevRS232
// at the default, 1 ms and 0 "Thread granularity"; at 0 also a query->answer
// exchange and the CPU of idle ports. Beside them, from the same run: raw
// read/write on the same kind of pty (the limit), python3-serial (an
// independent peer) and threads parked in poll() on ptys (the idle floor).
// One "name value unit" line per figure.
#include <zor/zor.h>

#include "zor/platform/platform.h"

#include "bench_common.h"
#include "bench_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::PtyPeer;
using bench::usSince;

constexpr int kPort = 240;
constexpr std::size_t kBulk = 1 << 20;
constexpr double kBulkSeconds = 2.0;

// The query and the answer of an instrument's identification exchange.
constexpr char kQuery[] = "*IDN?\n";
constexpr std::size_t kQuerySize = sizeof kQuery - 1;
constexpr char kAnswer[] = "ZOR,BENCH-PEER,SN0000000001,FW-1.00.000\n";
constexpr std::size_t kAnswerSize = sizeof kAnswer - 1;
static_assert(kAnswerSize == 40);

std::string portLink(int port) { return zor::portLinkFolder() + "/COM" + std::to_string(port); }

bool linkPort(int port, const std::string& target) {
  std::string folder = zor::portLinkFolder();
  for (std::size_t i = 1; i <= folder.size(); ++i)
    if (i == folder.size() || folder[i] == '/') ::mkdir(folder.substr(0, i).c_str(), 0700);
  std::string link = portLink(port);
  ::unlink(link.c_str());
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

std::unique_ptr<zor::CDevRS232> openPort(int port, int flags) {
  auto dev = std::make_unique<zor::CDevRS232>();
  dev->DeviceProgram(false, 115200, 'N', 8, 1);
  if (!dev->OpenDevice(port, flags, 1 << 16, 1 << 16)) return nullptr;
  return dev;
}

// Collects `size` bytes from the device, waiting on its data-ready event; at most 2 s.
bool deviceCollect(zor::CDevRS232& dev, unsigned char* buf, std::size_t size) {
  std::size_t got = 0;
  auto t = Clock::now();
  while (got < size && usSince(t) < 2e6) {
    unsigned long n = dev.ReadBuffer(buf + got, static_cast<unsigned long>(size - got));
    got += n;
    if (n == 0) zor::WaitForSingleObject(dev.DataReadyEvent(), 50);
  }
  return got == size;
}

bool deviceQuery(zor::CDevRS232& dev) {
  unsigned char buf[kAnswerSize];
  if (!dev.WriteBuffer(reinterpret_cast<const unsigned char*>(kQuery), kQuerySize)) return false;
  return deviceCollect(dev, buf, kAnswerSize) && std::memcmp(buf, kAnswer, kAnswerSize) == 0;
}

// Collects `size` bytes from a descriptor; at most 2 s.
bool rawCollect(int fd, char* buf, std::size_t size) {
  std::size_t got = 0;
  for (int i = 0; got < size && i < 1000; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    ssize_t n = ::read(fd, buf + got, size - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return got == size;
}

bool rawQuery(int fd) {
  char buf[kAnswerSize];
  if (::write(fd, kQuery, kQuerySize) != static_cast<ssize_t>(kQuerySize)) return false;
  return rawCollect(fd, buf, kAnswerSize) && std::memcmp(buf, kAnswer, kAnswerSize) == 0;
}

void device(const char* label, long granularity, int flags, int trips) {
  zor::theApp.m_threadGranularity = granularity;
  PtyPeer line(PtyPeer::kEcho);
  if (!line.ok() || !linkPort(kPort, line.path())) return;
  auto dev = openPort(kPort, flags);
  if (!dev) {
    std::printf("# %s: open failed\n", label);
    return;
  }
  std::vector<double> rtt;
  unsigned char buf[4096];
  auto start = Clock::now();
  for (int i = 0; i < trips && usSince(start) < 5e6; ++i) {
    unsigned char b = static_cast<unsigned char>('a' + i % 26);
    auto t = Clock::now();
    dev->WriteByte(b);
    if (!deviceCollect(*dev, buf, 1)) break;
    rtt.push_back(usSince(t));
  }
  std::printf("serial_%s_rtt_p50 %.0f us\n", label, bench::percentile(rtt, 0.50));
  std::printf("serial_%s_rtt_p99 %.0f us\n", label, bench::percentile(rtt, 0.99));

  // Echoed bulk: everything written comes back; both directions are busy at once.
  std::vector<unsigned char> chunk(4096, 0x55);
  std::size_t sent = 0, back = 0;
  auto t = Clock::now();
  while (back < kBulk && usSince(t) < kBulkSeconds * 1e6) {
    if (sent < kBulk && dev->GetMaxTransferSize() >= chunk.size()) {
      dev->WriteBuffer(chunk.data(), static_cast<unsigned long>(chunk.size()));
      sent += chunk.size();
    }
    unsigned long n = dev->ReadBuffer(buf, sizeof buf);
    back += n;
    if (n == 0) zor::WaitForSingleObject(dev->DataReadyEvent(), 5);
  }
  double seconds = usSince(t) / 1e6;
  std::printf("serial_%s_echo_throughput %.2f MB/s\n", label, static_cast<double>(back) / seconds / 1e6);
  dev->CloseDevice();
}

void raw(int trips) {
  PtyPeer line(PtyPeer::kEcho);
  if (!line.ok()) return;
  int fd = line.slave();
  std::vector<double> rtt;
  char buf[4096];
  for (int i = 0; i < trips; ++i) {
    char b = static_cast<char>('a' + i % 26);
    auto t = Clock::now();
    if (::write(fd, &b, 1) != 1 || !rawCollect(fd, buf, 1)) break;
    rtt.push_back(usSince(t));
  }
  std::printf("serial_raw_rtt_p50 %.0f us\n", bench::percentile(rtt, 0.50));
  std::printf("serial_raw_rtt_p99 %.0f us\n", bench::percentile(rtt, 0.99));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::vector<char> chunk(4096, 0x55);
  std::size_t sent = 0, back = 0;
  auto t = Clock::now();
  while (back < kBulk && usSince(t) < kBulkSeconds * 1e6) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < kBulk ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if ((p.revents & POLLOUT) && sent < kBulk) {
      ssize_t w = ::write(fd, chunk.data(), chunk.size());
      if (w > 0) sent += static_cast<std::size_t>(w);
    }
    if (p.revents & POLLIN) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) back += static_cast<std::size_t>(n);
    }
  }
  std::printf("serial_raw_echo_throughput %.2f MB/s\n", static_cast<double>(back) / (usSince(t) / 1e6) / 1e6);
}

// Query->answer at granularity 0, synchronous and overlapped, with the raw
// exchange on a pty of the same kind in the same rounds.
void queryG0(int trips) {
  zor::theApp.m_threadGranularity = 0;
  PtyPeer syncLine(PtyPeer::kAnswer, kAnswer), overlappedLine(PtyPeer::kAnswer, kAnswer),
      rawLine(PtyPeer::kAnswer, kAnswer);
  if (!syncLine.ok() || !overlappedLine.ok() || !rawLine.ok() || !linkPort(kPort, syncLine.path()) ||
      !linkPort(kPort + 1, overlappedLine.path()))
    return;
  auto sync = openPort(kPort, 0);
  auto overlapped = openPort(kPort + 1, 3);
  if (!sync || !overlapped) {
    std::printf("# serial query: open failed\n");
    return;
  }
  std::vector<bench::TripPath> paths;
  paths.emplace_back("serial_sync_g0_query", [&](int) { return deviceQuery(*sync); });
  paths.emplace_back("serial_overlapped_g0_query", [&](int) { return deviceQuery(*overlapped); });
  paths.emplace_back("serial_raw_query", [&](int) { return rawQuery(rawLine.slave()); });
  bench::runTripsInRounds(paths, 5, trips / 5, 5, 1.0);
  sync->CloseDevice();
  overlapped->CloseDevice();
  ::unlink(portLink(kPort + 1).c_str());
}

// Eight open ports, half synchronous and half overlapped, on silent lines.
double idleCpu(long granularity) {
  zor::theApp.m_threadGranularity = granularity;
  std::vector<std::unique_ptr<PtyPeer>> lines;
  std::vector<std::unique_ptr<zor::CDevRS232>> devices;
  for (int i = 0; i < 8; ++i) {
    lines.push_back(std::make_unique<PtyPeer>(PtyPeer::kSilent));
    if (!lines.back()->ok() || !linkPort(kPort + i, lines.back()->path())) break;
    if (auto dev = openPort(kPort + i, i % 2 ? 3 : 0)) devices.push_back(std::move(dev));
  }
  if (devices.size() != 8) std::printf("# serial idle: %zu of 8 ports open\n", devices.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double percent = bench::idleWindowCpuPercent(5.0);
  for (auto& dev : devices) dev->CloseDevice();
  devices.clear();
  for (int i = 1; i < 8; ++i) ::unlink(portLink(kPort + i).c_str());
  return percent;
}

// Mode "echo": byte round trip and echoed bulk; mode "query": query->answer.
const char* kPython = R"(
import sys, time, serial
port = serial.Serial(sys.argv[1], 115200, timeout=2)
mode = sys.argv[2]; trips = int(sys.argv[3]); rtt = []
def report(name, scale):
    rtt.sort()
    if rtt:
        print(("%s_p50 " + scale) % (name, rtt[len(rtt) // 2]))
        print(("%s_p99 " + scale) % (name, rtt[min(len(rtt) - 1, int(len(rtt) * 0.99))]))
if mode == "query":
    size = int(sys.argv[4])
    start = time.perf_counter()
    for i in range(trips + 5):
        if time.perf_counter() - start > 5: break
        t = time.perf_counter(); port.write(b'*IDN?\n')
        if len(port.read(size)) != size: break
        if i >= 5: rtt.append((time.perf_counter() - t) * 1e6)
    report("serial_python_query", "%.1f us")
    sys.exit(0)
for i in range(trips):
    t = time.perf_counter(); port.write(b'x')
    if len(port.read(1)) != 1: break
    rtt.append((time.perf_counter() - t) * 1e6)
report("serial_python_rtt", "%.0f us")
total = 1 << 20; chunk = b'U' * 4096; sent = back = 0; t = time.perf_counter()
port.timeout = 0
while back < total and time.perf_counter() - t < float(sys.argv[4]):
    if sent < total:
        sent += port.write(chunk)
    back += len(port.read(65536))
print("serial_python_echo_throughput %.2f MB/s" % (back / (time.perf_counter() - t) / 1e6))
)";

void python(const char* mode, int trips) {
  if (::access("/usr/bin/python3", X_OK) != 0) {
    std::printf("# python3 is missing: no python3-serial figures\n");
    return;
  }
  bool query = std::strcmp(mode, "query") == 0;
  PtyPeer line(query ? PtyPeer::kAnswer : PtyPeer::kEcho, kAnswer);
  if (!line.ok()) return;
  std::string script = "/tmp/zor_bench_serial_" + std::to_string(getpid()) + ".py";
  if (FILE* f = std::fopen(script.c_str(), "w")) {
    std::fputs(kPython, f);
    std::fclose(f);
  }
  std::string cmd = "timeout 30 /usr/bin/python3 " + script + " " + line.path() + " " + mode + " " +
                    std::to_string(trips) + " " +
                    (query ? std::to_string(kAnswerSize) : std::to_string(kBulkSeconds));
  std::fflush(stdout);
  if (std::system(cmd.c_str()) != 0)
    std::printf("# python3-serial peer failed (is python3-serial installed?)\n");
  ::unlink(script.c_str());
}

}  // namespace

int main() {
  // Port links go to a folder of the benchmark's own.
  std::string config = "/tmp/zor_bench_serial_" + std::to_string(getpid()) + "/zor.ini";
  setenv("ZOR_CONFIG", config.c_str(), 1);
  zor::theApp.InitInstance();
  long defaultGranularity = zor::theApp.m_threadGranularity;
  raw(1000);
  python("echo", 1000);
  device("sync_default", defaultGranularity, 0, 100);
  device("overlapped_default", defaultGranularity, 3, 100);
  device("sync_1ms", 1, 0, 500);
  device("overlapped_1ms", 1, 3, 500);
  device("sync_g0", 0, 0, 1000);
  device("overlapped_g0", 0, 3, 1000);
  queryG0(1000);
  python("query", 1000);
  bench::printCpu("serial_idle_8_devices_cpu_g0", idleCpu(0));
  bench::printCpu("serial_idle_8_devices_cpu_g15", idleCpu(15));
  bench::printCpu("serial_idle_8_devices_cpu_ref_poll", bench::idlePollReferenceCpuPercent(8, 5.0));
  ::unlink(portLink(kPort).c_str());
  ::rmdir(zor::portLinkFolder().c_str());
  // The settings file and its lock are the library's, in the benchmark's own folder.
  ::unlink(config.c_str());
  ::unlink((config + ".lock").c_str());
  ::rmdir(config.substr(0, config.rfind('/')).c_str());
  return 0;
}
