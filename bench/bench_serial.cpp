// Serial device figures over a pseudo-terminal pair: write->read round trip
// (p50, p99) and throughput through CDevRS232 at the default and at 1 ms
// "Thread granularity", next to raw read/write on the same kind of pty (the
// limit) and python3-serial (an independent peer). The far end echoes.
// One "name value unit" line per figure.
#include <zor/zor.h>

#include "zor/platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 240;
constexpr std::size_t kBulk = 1 << 20;

double usSince(Clock::time_point t) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// A pty pair whose master echoes everything (or only counts it) on a thread of its own.
class Line {
public:
  explicit Line(bool echo) {
    char name[256];
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    tcsetattr(m_slave, TCSANOW, &t);
    m_path = name;
    m_thread = std::thread([this, echo] { run(echo); });
  }
  ~Line() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_master >= 0) ::close(m_master);
    if (m_slave >= 0) ::close(m_slave);
  }
  const std::string& path() const { return m_path; }
  int slave() const { return m_slave; }
  std::size_t received() const { return m_received; }
  bool ok() const { return !m_path.empty(); }

private:
  void run(bool echo) {
    char buf[4096];
    while (!m_stop) {
      pollfd p{m_master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n = ::read(m_master, buf, sizeof buf);
      if (n <= 0) continue;
      m_received += static_cast<std::size_t>(n);
      for (ssize_t done = 0; echo && done < n && !m_stop;) {
        ssize_t w = ::write(m_master, buf + done, static_cast<std::size_t>(n - done));
        if (w > 0) done += w;
      }
    }
  }
  int m_master = -1, m_slave = -1;
  std::string m_path;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<std::size_t> m_received{0};
};

bool linkPort(const std::string& target) {
  std::string folder = zor::portLinkFolder();
  for (std::size_t i = 1; i <= folder.size(); ++i)
    if (i == folder.size() || folder[i] == '/') ::mkdir(folder.substr(0, i).c_str(), 0700);
  std::string link = folder + "/COM" + std::to_string(kPort);
  ::unlink(link.c_str());
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

void device(const char* label, long granularity, int flags, int trips) {
  zor::theApp.m_threadGranularity = granularity;
  Line line(true);
  if (!line.ok() || !linkPort(line.path())) return;
  zor::CDevRS232 dev;
  dev.DeviceProgram(false, 115200, 'N', 8, 1);
  if (!dev.OpenDevice(kPort, flags, 1 << 16, 1 << 16)) {
    std::printf("# %s: open failed\n", label);
    return;
  }
  std::vector<double> rtt;
  unsigned char buf[4096];
  for (int i = 0; i < trips; ++i) {
    unsigned char b = static_cast<unsigned char>('a' + i % 26);
    auto t = Clock::now();
    dev.WriteByte(b);
    unsigned long got = 0;
    while (got == 0 && usSince(t) < 2e6) {
      zor::WaitForSingleObject(dev.DataReadyEvent(), 50);
      got = dev.ReadBuffer(buf, sizeof buf);
    }
    if (got == 0) break;
    rtt.push_back(usSince(t));
  }
  std::printf("serial_%s_rtt_p50 %.0f us\n", label, percentile(rtt, 0.50));
  std::printf("serial_%s_rtt_p99 %.0f us\n", label, percentile(rtt, 0.99));

  // Echoed bulk: everything written comes back; both directions are busy at once.
  std::vector<unsigned char> chunk(4096, 0x55);
  std::size_t sent = 0, back = 0;
  auto t = Clock::now();
  while (back < kBulk && usSince(t) < 20e6) {
    if (sent < kBulk && dev.GetMaxTransferSize() >= chunk.size()) {
      dev.WriteBuffer(chunk.data(), chunk.size());
      sent += chunk.size();
    }
    unsigned long n = dev.ReadBuffer(buf, sizeof buf);
    back += n;
    if (n == 0) zor::WaitForSingleObject(dev.DataReadyEvent(), 5);
  }
  double seconds = usSince(t) / 1e6;
  std::printf("serial_%s_echo_throughput %.2f MB/s\n", label, static_cast<double>(back) / seconds / 1e6);
  dev.CloseDevice();
}

void raw(int trips) {
  Line line(true);
  if (!line.ok()) return;
  int fd = line.slave();
  std::vector<double> rtt;
  char buf[4096];
  for (int i = 0; i < trips; ++i) {
    char b = static_cast<char>('a' + i % 26);
    auto t = Clock::now();
    if (::write(fd, &b, 1) != 1) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0 || ::read(fd, buf, sizeof buf) <= 0) break;
    rtt.push_back(usSince(t));
  }
  std::printf("serial_raw_rtt_p50 %.0f us\n", percentile(rtt, 0.50));
  std::printf("serial_raw_rtt_p99 %.0f us\n", percentile(rtt, 0.99));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::vector<char> chunk(4096, 0x55);
  std::size_t sent = 0, back = 0;
  auto t = Clock::now();
  while (back < kBulk && usSince(t) < 20e6) {
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

const char* kPython = R"(
import sys, time, select, serial
port = serial.Serial(sys.argv[1], 115200, timeout=2)
trips = int(sys.argv[2]); rtt = []
for i in range(trips):
    t = time.perf_counter(); port.write(b'x')
    if len(port.read(1)) != 1: break
    rtt.append((time.perf_counter() - t) * 1e6)
rtt.sort()
if rtt:
    print("serial_python_rtt_p50 %.0f us" % rtt[len(rtt) // 2])
    print("serial_python_rtt_p99 %.0f us" % rtt[min(len(rtt) - 1, int(len(rtt) * 0.99))])
total = 1 << 20; chunk = b'U' * 4096; sent = back = 0; t = time.perf_counter()
port.timeout = 0
while back < total and time.perf_counter() - t < 20:
    if sent < total:
        sent += port.write(chunk)
    back += len(port.read(65536))
print("serial_python_echo_throughput %.2f MB/s" % (back / (time.perf_counter() - t) / 1e6))
)";

void python(int trips) {
  if (::access("/usr/bin/python3", X_OK) != 0) return;
  Line line(true);
  if (!line.ok()) return;
  std::string script = "/tmp/zor_bench_serial_" + std::to_string(getpid()) + ".py";
  if (FILE* f = std::fopen(script.c_str(), "w")) {
    std::fputs(kPython, f);
    std::fclose(f);
  }
  std::string cmd = "/usr/bin/python3 " + script + " " + line.path() + " " + std::to_string(trips);
  std::fflush(stdout);
  if (std::system(cmd.c_str()) != 0) std::printf("# python3-serial peer failed\n");
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
  python(1000);
  device("sync_default", defaultGranularity, 0, 100);
  device("overlapped_default", defaultGranularity, 3, 100);
  device("sync_1ms", 1, 0, 500);
  device("overlapped_1ms", 1, 3, 500);
  ::unlink((zor::portLinkFolder() + "/COM" + std::to_string(kPort)).c_str());
  ::rmdir(zor::portLinkFolder().c_str());
  return 0;
}
