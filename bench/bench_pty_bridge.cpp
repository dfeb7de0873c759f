// zor pty beside socat: the idle cost of a bridge with a client attached, and
// a query's round trip through the pseudo-terminal at granularity 0.
#include "bench_pty.h"
#include "posix_peer.h"

#include <zor/zor.h>

#include <sys/stat.h>

#include <cstdio>

namespace {

using bench::Clock;

// The client's end: a raw open of the path, waited for up to 5 s.
int openClient(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// CPU percent of the process over the window, a client holding its port open.
void idleLine(const char* name, bench::Program& child, const std::string& port, double seconds) {
  const int client = openClient(port);
  if (!child.started() || client < 0) {
    std::printf("# %s: not started\n", name);
    if (client >= 0) ::close(client);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = child.cpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  std::printf("%s_idle_cpu %.2f %%\n", name, 100.0 * (child.cpuSeconds() - before) / seconds);
  ::close(client);
}

// Round trips of a 16-byte query through the port to an echo and back.
void roundTrips(const char* name, const std::string& port, int count) {
  const int fd = openClient(port);
  if (fd < 0) {
    std::printf("# %s: no port\n", name);
    return;
  }
  const char query[] = "MEAS:VOLT:DC?12\n";
  std::vector<double> us;
  for (int i = 0; i < count; ++i) {
    const auto t = Clock::now();
    if (::write(fd, query, 16) != 16) break;
    std::size_t got = 0;
    char buf[64];
    while (got < 16) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) != 1) break;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != 16) break;
    us.push_back(bench::usSince(t));
  }
  ::close(fd);
  bench::printPercentilesUs(std::string(name) + "_query_rtt", us);
}

}  // namespace

int main() {
  const std::string folder = "/tmp/zor-bench-pty-" + std::to_string(::getpid());
  ::mkdir(folder.c_str(), 0700);
  const double seconds = 5;
  {
    bench::Program zor({ZOR_APP_PATH, "pty", "--port", "NULL", "--link", folder + "/zor"}, {});
    bench::Program socat(
        {"socat", "PTY,raw,echo=0,link=" + folder + "/socat-a", "PTY,raw,echo=0,link=" + folder + "/socat-b"},
        {});
    idleLine("zor_pty", zor, folder + "/zor", seconds);
    idleLine("socat_pty_relay", socat, folder + "/socat-a", seconds);
  }
  {
    zor::theApp.m_threadGranularity = 0;
    zor::CDevNull device;
    device.Loopback(true);
    zor::CPtyBridge bridge;
    if (device.OpenDevice(0, 8192, 8192) && bridge.Start(device))
      roundTrips("zor_pty_g0_loopback", bridge.SlavePath(), 2000);
    else
      std::printf("# zor_pty_g0_loopback: %s\n", bridge.ErrorText().c_str());
    bridge.Stop();
    device.CloseDevice();
    bench::Program socat({"socat", "PTY,raw,echo=0,link=" + folder + "/echo", "EXEC:cat"}, {});
    roundTrips("socat_pty_cat", folder + "/echo", 2000);
  }
  ::rmdir(folder.c_str());
  return 0;
}
