// The monitor window under load (Qt's offscreen platform): 1 000 000 records
// logged from two threads as fast as they come, with the window shown and,
// as the reference in the same run, with it hidden; how long the GUI thread
// takes to list the last of them; what the store costs; and the GUI
// thread's CPU while nothing arrives. One "name value unit" line per figure.
#include "bench_common.h"

#include "zor/gui/monitor_window.h"

#include <zor/gui.h>
#include <zor/zor.h>

#include <QApplication>
#include <QTimer>

#include <malloc.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

using namespace zor;
using bench::Clock;

namespace {

// Bytes the program holds from the allocator (not pages: a second run reuses the first's).
double heapInUse() { return static_cast<double>(mallinfo2().uordblks); }

MonitorWindow* windowOf(CDevice& device) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<MonitorWindow*>(w)) {
      std::lock_guard lock(m->link().mutex);
      if (m->link().monitor == device.Monitor()) return m;
    }
  return nullptr;
}

void run(const char* name, bool shown, bool print) {
  constexpr int kPerThread = 500000;
  const double heap0 = heapInUse();
  CDevNull device;
  device.ShowMonitor();
  MonitorWindow* w = windowOf(device);
  if (w == nullptr) {
    std::printf("# %s: no window\n", name);
    return;
  }
  if (!shown) w->close();
  std::atomic<int> running{2};
  auto logger = [&](unsigned char tag) {
    unsigned char record[16] = {tag};
    for (int i = 0; i < kPerThread; ++i) {
      record[1] = static_cast<unsigned char>(i);
      device.LogRelay(LOG_SERVER_SENT, record, sizeof record);
    }
    --running;
  };
  const auto start = Clock::now();
  std::thread a(logger, 1), b(logger, 2);
  // The GUI thread serves its window meanwhile, as an application's loop does.
  while (running > 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const double logSeconds = bench::secondsSince(start);
  a.join();
  b.join();
  const auto last = Clock::now();
  const int stored = device.Monitor()->LineCount();
  for (int i = 0; i < 100000 && w->model()->rowCount() != stored; ++i) QCoreApplication::processEvents();
  const double catchUpMs = bench::usSince(last) / 1000;
  const double heap = heapInUse() - heap0;
  if (!print) return;
  std::printf("%s %.0f records/s\n", name, 2.0 * kPerThread / logSeconds);
  std::printf("%s_catch_up %.1f ms\n", name, w->model()->rowCount() == stored ? catchUpMs : -1.0);
  std::printf("%s_memory %.1f MB for %d records (%.0f bytes each)\n", name, heap / 1e6, stored,
              heap / stored);
  std::printf("%s_count_updates %d\n", name, w->poster().queuedCalls());
}

void idle() {
  CDevNull device;
  device.ShowMonitor();
  QEventLoop loop;
  QTimer::singleShot(2000, &loop, &QEventLoop::quit);
  bench::CpuMeter meter;
  loop.exec();
  bench::printCpu("gui_idle_cpu", meter.percent());
}

}  // namespace

int main() {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!zorGuiEnsureApplication()) return 1;
  zorGuiInstall();
  theApp.m_monitorView = MONITOR_VIEW_HEX;
  // A first pair warms the allocator and the caches; the second is reported.
  run("window_hidden", false, false);
  run("window_shown", true, false);
  run("window_hidden", false, true);
  run("window_shown", true, true);
  idle();
  return 0;
}
