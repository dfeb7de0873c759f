// The host's windows while nothing arrives (Qt's offscreen platform): the
// terminal with its monitor, and the intranet server window serving an open
// device, each in its own loop for two seconds; beside them, the reference:
// the same open device with no window, the process only sleeping, and the
// monitor alone in a plain event loop.
#include "bench_common.h"

#include <zor/gui.h>
#include <zor/zor.h>

#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace zor;

namespace {

constexpr double kSeconds = 2.0;

template <class Window>
double idleIn(Window& w) {
  bench::CpuMeter* meter = nullptr;
  QTimer::singleShot(0, [&] { meter = new bench::CpuMeter; });
  QTimer::singleShot(static_cast<int>(kSeconds * 1000) + 50, [&] { w.OnCancel(); });
  w.runModeless();
  const double percent = meter != nullptr ? meter->percent() : -1;
  delete meter;
  return percent;
}

}  // namespace

int main() {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string pipes = "/tmp/zor-bench-" + std::to_string(getpid());
  setenv("ZOR_PIPE_DIR", pipes.c_str(), 1);
  if (!zorGuiEnsureApplication()) return 1;
  zorGuiInstall();
  CDevNull device;
  if (!device.OpenDevice(0, 8192, 8192)) return 1;
  bench::printCpu("reference_open_device_no_window_idle_cpu", bench::idleWindowCpuPercent(kSeconds));
  device.ShowMonitor();
  {
    // The monitor alone, in a plain event loop.
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(kSeconds * 1000), &loop, &QEventLoop::quit);
    bench::CpuMeter meter;
    loop.exec();
    bench::printCpu("reference_monitor_alone_idle_cpu", meter.percent());
  }
  {
    CRunZorMainDlg terminal(&device);
    bench::printCpu("terminal_with_monitor_idle_cpu", idleIn(terminal));
  }
  {
    CRunZorServerDlg server(&device);
    bench::printCpu("intranet_server_window_idle_cpu", idleIn(server));
  }
  device.CloseDevice();
  std::error_code ec;
  std::filesystem::remove_all(pipes, ec);
  return 0;
}
