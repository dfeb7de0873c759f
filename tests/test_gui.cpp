// The window layer: the monitor's window over the record store, fed from
// logging threads through its coalescing posts; the about dialog and the
// pictures; the host window base's loop.
#include "support/gui_test.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/testdevice.h"

#include "zor/gui/monitor_window.h"

#include <zor/gui.h>
#include <zor/zor.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zor {
namespace {

using ::testing::MatchesRegex;
using zor_test::cell;
using zor_test::Gui;
using zor_test::labelText;
using zor_test::logAs;
using zor_test::pump;
using zor_test::pumpUntil;
using zor_test::TestEnv;
using zor_test::TestHost;
using zor_test::windowOf;

const std::string kTime = "[0-9][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9][0-9][0-9]";

// Must run before any test of its process has started Qt (ctest runs each alone).
TEST(GuiNoDisplay, ShowIsFalseWithOneLineAndNothingAborts) {
  if (QCoreApplication::instance() != nullptr) GTEST_SKIP() << "Qt already runs in this process";
  TestEnv env;
  zorGuiInstall();
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* v = std::getenv(names[i])) saved[i] = v;
    unsetenv(names[i]);
  }
  CDevNull device;
  testing::internal::CaptureStderr();
  device.ShowMonitor();
  const bool second = device.Monitor()->Show();
  const std::string err = testing::internal::GetCapturedStderr();
  for (int i = 0; i < 3; ++i)
    if (saved[i]) setenv(names[i], saved[i]->c_str(), 1);
  EXPECT_FALSE(second);
  EXPECT_EQ(device.Monitor()->Window(), nullptr);
  EXPECT_THAT(err, MatchesRegex("zor: no monitor window: no display [^\n]*\n"));
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
  // The monitor works without its window.
  logAs(device, LOG_TX, {1, 2});
  EXPECT_EQ(device.Monitor()->LineCount(), 1);
}
TEST_F(Gui, RecordsFromWorkerThreadsAppearOnceInOrderWithIconTimeAndText) {
  CDevNull device;
  device.ShowMonitor();
  MonitorWindow* w = windowOf(device);
  ASSERT_NE(w, nullptr);
  CMonitorDlg* monitor = device.Monitor();
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), "ZOR Monitor");

  // Relayed records reach the installed logger like any other.
  auto logFrom = [&](int thread, int n) {
    for (int i = 0; i < n; ++i) {
      const unsigned char b[3] = {static_cast<unsigned char>(thread), static_cast<unsigned char>(i >> 8),
                                  static_cast<unsigned char>(i)};
      device.LogRelay(LOG_SERVER_SENT, b, 3);
    }
  };
  // While the GUI thread is busy, any number of appends is one queued count update.
  const int queued = w->poster().queuedCalls();
  {
    std::thread a(logFrom, 1, 600), b(logFrom, 2, 600);
    a.join();
    b.join();
  }
  monitor->Flush();  // the monitor's writer has handed every record on
  EXPECT_EQ(w->poster().queuedCalls() - queued, 1);
  EXPECT_EQ(w->model()->rowCount(), 0) << "rows appear only on the GUI thread";
  ASSERT_TRUE(pumpUntil([&] { return w->model()->rowCount() == 1200; }));
  EXPECT_EQ(monitor->LineCapacity(), 1800) << "the 901st record grew the store";

  // Then while the GUI thread draws them, in the hexadecimal view.
  w->command(ID_VIEW_HEX);
  std::atomic<int> done{0};
  std::thread c([&] { logFrom(3, 400), ++done; }), d([&] { logFrom(4, 400), ++done; });
  pumpUntil([&] { return done == 2 && w->model()->rowCount() == 2000; });
  c.join();
  d.join();
  ASSERT_TRUE(pumpUntil([&] { return w->model()->rowCount() == 2000; }));
  EXPECT_EQ(monitor->LineCount(), 2000);

  std::map<int, int> next;
  const qint64 icon = lineIcon(5).cacheKey();
  for (int row = 0; row < 2000; ++row) {
    MonitorLine line;
    ASSERT_TRUE(monitor->GetLine(row, line));
    const std::string data = cell(w, row, 2);
    ASSERT_EQ(data, line.data) << "row " << row << " is the store's record";
    EXPECT_EQ(cell(w, row, 1), "3");
    ASSERT_THAT(cell(w, row, 0), MatchesRegex(kTime));
    EXPECT_EQ(w->model()->data(w->model()->index(row, 0), Qt::DecorationRole).value<QIcon>().cacheKey(),
              icon);
    int t = 0, hi = 0, lo = 0;
    ASSERT_EQ(std::sscanf(data.c_str(), row < 1200 ? "%d %d %d" : "%x %x %x", &t, &hi, &lo), 3) << data;
    EXPECT_EQ(hi * 256 + lo, next[t]++) << "thread " << t << " in order, each once";
  }
  EXPECT_EQ(next, (std::map<int, int>{{1, 600}, {2, 600}, {3, 400}, {4, 400}}));
  EXPECT_EQ(cell(w, 1200, 2).size(), 9u) << "three bytes of \"%.2x \"";

  w->command(ID_VIEW_ASCII);
  logAs(device, LOG_RX, {'A', 0, 'B'});
  ASSERT_TRUE(pumpUntil([&] { return w->model()->rowCount() == 2001; }));
  EXPECT_EQ(cell(w, 2000, 2), "AB");
  EXPECT_EQ(w->model()->data(w->model()->index(2000, 0), Qt::DecorationRole).value<QIcon>().cacheKey(),
            lineIcon(2).cacheKey());
  QScrollBar* bar = w->view()->verticalScrollBar();
  EXPECT_EQ(bar->value(), bar->maximum()) << "the last row is in view";
  EXPECT_EQ(w->model()->offThreadCalls(), 0);
}

TEST_F(Gui, ABrowsedLogIsDrawnAgainInTheViewChosen) {
  settings->m_monitorView = MONITOR_VIEW_DECIMAL;
  const std::string path = env.path("field.log");
  zortest::writeText(path, "<<TX\t00:00:01.000\t2\t41 42 \r\n>>RX\t00:00:01.020\t1\t0d \r\n");
  CDevNull device;
  std::string why;
  ASSERT_TRUE(device.Monitor()->ViewLogFile(path.c_str(), &why)) << why;
  device.ShowMonitor();
  MonitorWindow* w = windowOf(device);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return w->model()->rowCount() == 2; }));
  EXPECT_EQ(cell(w, 0, 2), "065 066 ");
  w->command(ID_VIEW_HEX);
  pump();
  EXPECT_EQ(cell(w, 0, 2), "41 42 ") << "the rows drawn kept the old view";
  EXPECT_EQ(cell(w, 1, 2), "0d ");
  EXPECT_EQ(w->model()->offThreadCalls(), 0);
}

TEST_F(Gui, WindowGrowsItsListHidesOnCloseFollowsTheTxThreadAndGoesWithTheMonitor) {
  auto device = std::make_unique<CDevNull>();
  device->ShowMonitor();
  QPointer<MonitorWindow> w = windowOf(*device);
  ASSERT_FALSE(w.isNull());
  CMonitorDlg* monitor = device->Monitor();
  QHeaderView* header = w->view()->horizontalHeader();
  EXPECT_EQ(w->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Event");
  EXPECT_EQ(w->model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Size");
  EXPECT_EQ(w->model()->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "Data");
  // 90 and 40 pixels, or what the font needs for an icon and a whole time stamp.
  const QFontMetrics metrics = w->view()->fontMetrics();
  EXPECT_GE(header->sectionSize(0), std::max(90, 32 + metrics.horizontalAdvance("00:00:00.000")));
  EXPECT_GE(header->sectionSize(1), 40);
  EXPECT_EQ(w->view()->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(w->view()->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_FALSE(header->sectionsClickable());

  pump();
  const QSize list = w->view()->size();
  const int data = header->sectionSize(2);
  w->resize(w->size() + QSize(120, 80));
  pump();
  EXPECT_EQ(w->view()->size(), list + QSize(120, 80));
  EXPECT_EQ(header->sectionSize(2), data + 120) << "the Data column takes the added width";

  // The TX indicator, from another thread, as the TX thread reports.
  auto* tx = w->findChild<QLabel*>("txThread");
  EXPECT_FALSE(tx->isVisible());
  std::thread([&] { monitor->SetTxThreadIndicator(0, true); }).join();
  EXPECT_TRUE(pumpUntil([&] { return tx->isVisible(); }));
  std::thread([&] { monitor->SetTxThreadIndicator(0, false); }).join();
  EXPECT_TRUE(pumpUntil([&] { return !tx->isVisible(); }));
  // And from a real one: it runs for the bytes, then parks.
  ASSERT_TRUE(device->OpenDevice(0, 256, 256));
  device->Loopback(true);
  const int queued = w->poster().queuedCalls();
  const unsigned char hello[] = {'h', 'i'};
  ASSERT_TRUE(device->WriteBuffer(hello, 2));
  EXPECT_EQ(zor_test::readBytes(*device, 2, 3000).size(), 2u);
  EXPECT_TRUE(pumpUntil([&] { return w->poster().queuedCalls() > queued && !tx->isVisible(); }));
  device->CloseDevice();

  // Closing hides; logging goes on; showing again lists what came meanwhile.
  w->close();
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(monitor->IsHidden());
  const int before = monitor->LineCount();
  logAs(*device, LOG_TX, {1});
  device->ShowMonitor();
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(monitor->IsHidden());
  EXPECT_TRUE(pumpUntil([&] { return w->model()->rowCount() == before + 1; }));

  // "Pause on exit": the destructor waits, serving the window, until the user closes it.
  settings->m_pauseOnExit = true;
  bool closedFirst = false;
  QTimer::singleShot(0, w, [&] {
    closedFirst = true;
    w->close();
  });
  device.reset();
  EXPECT_TRUE(closedFirst) << "the destructor waited for the close";
  EXPECT_TRUE(w.isNull()) << "the monitor's destructor destroys its window";
  settings->m_pauseOnExit = false;

  // A monitor destroyed on another thread leaves its window to the GUI thread.
  auto other = std::make_unique<CDevNull>();
  other->ShowMonitor();
  QPointer<MonitorWindow> w2 = windowOf(*other);
  ASSERT_FALSE(w2.isNull());
  std::thread([&] { other.reset(); }).join();
  EXPECT_TRUE(pumpUntil([&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return w2.isNull();
  }));
}

TEST_F(Gui, HostWindowLoopEndsOnExitEscapeEnterAndCloseAfterOnStopAndSleepsWhileIdle) {
  for (int way = 0; way < 4; ++way) {
    TestHost host(nullptr);
    QTimer::singleShot(0, &host, [&] {
      if (way == 0) host.OnCommand(ID_HOST_EXIT);
      if (way == 1) QTest::keyClick(&host, Qt::Key_Escape);
      if (way == 2) host.close();
      if (way == 3) QTest::keyClick(&host, Qt::Key_Return);  // no default button
    });
    QTimer::singleShot(10000, &host, [&] { host.m_running = false; });  // a bound, not a result
    EXPECT_TRUE(host.runModeless());
    EXPECT_EQ(host.stops, 1) << "way " << way;
    EXPECT_FALSE(host.isVisible());
    EXPECT_FALSE(host.windowIcon().isNull());
  }
  auto* gone = new TestHost(nullptr);
  theApp.m_pHostDlg = gone;
  delete gone;
  EXPECT_EQ(theApp.m_pHostDlg.load(), nullptr);

  // A burst of posts from a worker: each handled once, in order.
  TestHost host(nullptr);
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) PostMessageA(host.GetSafeHwnd(), 0x0402, i, 0);
  });
  QTimer::singleShot(20000, &host, [&] { host.m_running = false; });
  EXPECT_TRUE(host.runModeless());
  poster.join();
  ASSERT_EQ(host.got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(host.got[i], i);

  // Idle, the loop waits in the kernel instead of waking every 10 ms.
  TestHost idle(nullptr);
  QTimer::singleShot(400, &idle, [&] { idle.OnCancel(); });
  const long cpu = zortest::processCpuMs();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(idle.runModeless());
  const long elapsed = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
  EXPECT_LT(zortest::processCpuMs() - cpu, elapsed / 2) << "the loop spins while idle";
}

TEST_F(Gui, AboutBoxAndScreenshots) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), "About ZOR");
  EXPECT_EQ(labelText(&about, "version"), zorVersionText(3));
  EXPECT_EQ(labelText(&about, "second"), zorVersionText(5));
  EXPECT_FALSE(zorVersionText(3).empty());

  // The pictures of the README: the hexadecimal view with each kind of line.
  settings->m_monitorView = MONITOR_VIEW_HEX;
  CDevNull device;
  device.ShowMonitor();
  MonitorWindow* w = windowOf(device);
  ASSERT_NE(w, nullptr);
  CMonitorDlg::LogCallback(reinterpret_cast<long>(device.Monitor()), LOG_EVENT, nullptr, IDS_BUFFERS_FLUSHED);
  logAs(device, LOG_TX, {'*', 'I', 'D', 'N', '?', '\r', '\n'});
  std::vector<unsigned char> answer;
  for (const char* s = "ZOR,Bench Meter 7,0042,1.02\r\n"; *s; ++s)
    answer.push_back(static_cast<unsigned char>(*s));
  logAs(device, LOG_RX, answer);
  logAs(device, LOG_TX, {'M', 'E', 'A', 'S', '?', '\r', '\n'});
  std::vector<unsigned char> block(90);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(0x30 + i % 40);
  logAs(device, LOG_RX, block);
  device.LogRelay(LOG_SERVER_RCV, block.data(), 4);
  device.LogRelay(LOG_SERVER_SENT, block.data() + 4, 6);
  ASSERT_TRUE(pumpUntil([&] { return w->model()->rowCount() == 8; }));
  w->resize(760, 300);
  pump();
  const QString dir = ZOR_SCREENSHOT_DIR;
  ASSERT_TRUE(QDir().mkpath(dir));
  EXPECT_TRUE(w->grab().save(dir + "/monitor.png"));
  EXPECT_TRUE(about.grab().save(dir + "/about.png"));
  CMonitorStat stat(w);
  stat.SetCounters(6, 119, 14);
  EXPECT_TRUE(stat.grab().save(dir + "/statistics.png"));
}

}  // namespace
}  // namespace zor
