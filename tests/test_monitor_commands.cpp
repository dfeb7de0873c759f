// The monitor window's menu rules and commands: filters, views, options,
// pause, clear and the statistics, USB dump and log file dialogs.
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

using zor_test::cell;
using zor_test::Gui;
using zor_test::labelText;
using zor_test::logAs;
using zor_test::openMenus;
using zor_test::pump;
using zor_test::pumpUntil;
using zor_test::TestHost;
using zor_test::TypedDevice;
using zor_test::windowOf;
using zor_test::withModal;

TEST_F(Gui, MenuRulesFollowTheDeviceTheHostAndTheOptions) {
  CDevRS232 serial;
  serial.ShowMonitor();
  MonitorWindow* w = windowOf(serial);
  ASSERT_NE(w, nullptr);
  auto enabled = [](MonitorWindow* win, int id) { return win->action(id)->isEnabled(); };
  auto checked = [](MonitorWindow* win, int id) { return win->action(id)->isChecked(); };
  const std::map<int, const char*> texts = {{ID_EXTERNAL_DEBUGGER, "E&xternal debugger"},
                                            {ID_LOG_TO_FILE, "&Log to file..."},
                                            {ID_TRUE_PLAYBACK, "&True speed playback"},
                                            {ID_PAUSE_ON_EXIT, "&Pause on exit"},
                                            {ID_ENABLE_MONITOR, "E&nable Monitor"},
                                            {ID_VIEW_DECIMAL, "&Decimal"},
                                            {ID_VIEW_HEX, "&Hexadecimal"},
                                            {ID_VIEW_ASCII, "&ASCII"},
                                            {ID_STATISTICS, "&Statistics..."},
                                            {ID_ALWAYS_ON_TOP, "Always on &Top"},
                                            {ID_FILTER_RX, "&Received data"},
                                            {ID_FILTER_TX, "&Transmitted data"},
                                            {ID_FILTER_RCV, "Server: Received data"},
                                            {ID_FILTER_SENT, "Server: Sent data"},
                                            {ID_DUMP_USB, "&Dump USB Config..."},
                                            {ID_ABOUT, "&About..."}};
  for (auto [id, text] : texts) {
    ASSERT_NE(w->action(id), nullptr) << id;
    EXPECT_EQ(w->action(id)->text().toStdString(), text);
    EXPECT_EQ(w->action(id)->data().toInt(), id);
  }

  openMenus(w);
  EXPECT_FALSE(enabled(w, ID_TRUE_PLAYBACK));
  EXPECT_FALSE(enabled(w, ID_DUMP_USB));
  EXPECT_TRUE(enabled(w, ID_LOG_TO_FILE));
  EXPECT_TRUE(checked(w, ID_VIEW_DECIMAL));
  EXPECT_FALSE(w->findChild<QLabel*>("playback")->isVisible());

  // Check marks follow the commands, and a monitor made later reads the stored ones.
  w->command(ID_EXTERNAL_DEBUGGER);
  w->command(ID_VIEW_HEX);
  w->command(ID_ALWAYS_ON_TOP);
  w->command(ID_FILTER_RCV);
  openMenus(w);
  EXPECT_TRUE(checked(w, ID_EXTERNAL_DEBUGGER));
  EXPECT_TRUE(checked(w, ID_VIEW_HEX));
  EXPECT_FALSE(checked(w, ID_VIEW_DECIMAL));
  EXPECT_TRUE(checked(w, ID_ALWAYS_ON_TOP));
  EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(checked(w, ID_FILTER_RCV));
  {
    CDevNull later;
    later.ShowMonitor();
    MonitorWindow* w2 = windowOf(later);
    ASSERT_NE(w2, nullptr);
    openMenus(w2);
    EXPECT_TRUE(checked(w2, ID_EXTERNAL_DEBUGGER));
    EXPECT_TRUE(checked(w2, ID_ALWAYS_ON_TOP));
    EXPECT_TRUE(w2->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(checked(w2, ID_VIEW_HEX));
  }
  w->command(ID_FILTER_RCV);

  // Under the host: "Pause on exit" greyed and unchecked whatever the option.
  settings->m_pauseOnExit = true;
  TestHost host(&serial);
  theApp.m_pHostDlg = &host;
  openMenus(w);
  EXPECT_FALSE(enabled(w, ID_PAUSE_ON_EXIT));
  EXPECT_FALSE(checked(w, ID_PAUSE_ON_EXIT));
  // A file transfer forces the TX filter: the filters are greyed, then come back.
  host.transferring = true;
  settings->m_filterTX = true;
  openMenus(w);
  for (int id : {ID_FILTER_RX, ID_FILTER_TX, ID_FILTER_RCV, ID_FILTER_SENT})
    EXPECT_FALSE(enabled(w, id)) << id;
  EXPECT_TRUE(checked(w, ID_FILTER_TX));
  host.transferring = false;
  settings->m_filterTX = false;
  openMenus(w);
  for (int id : {ID_FILTER_RX, ID_FILTER_TX, ID_FILTER_RCV, ID_FILTER_SENT}) {
    EXPECT_TRUE(enabled(w, id)) << id;
    EXPECT_FALSE(checked(w, id)) << id;
  }
  theApp.m_pHostDlg = nullptr;
  openMenus(w);
  EXPECT_TRUE(enabled(w, ID_PAUSE_ON_EXIT));
  EXPECT_TRUE(checked(w, ID_PAUSE_ON_EXIT));
  settings->m_pauseOnExit = false;

  // A playback device: no log file, its speed option, the label.
  CDevPlayback playback;
  playback.ShowMonitor();
  MonitorWindow* wp = windowOf(playback);
  ASSERT_NE(wp, nullptr);
  openMenus(wp);
  EXPECT_FALSE(enabled(wp, ID_LOG_TO_FILE));
  EXPECT_FALSE(checked(wp, ID_LOG_TO_FILE));
  EXPECT_TRUE(enabled(wp, ID_TRUE_PLAYBACK));
  EXPECT_TRUE(checked(wp, ID_TRUE_PLAYBACK));
  EXPECT_TRUE(wp->findChild<QLabel*>("playback")->isVisible());
  wp->command(ID_TRUE_PLAYBACK);
  openMenus(wp);
  EXPECT_FALSE(checked(wp, ID_TRUE_PLAYBACK));

  // A USB device: its dump, in the lines the dump gives.
  TypedDevice usb(ZOR_USB);
  usb.ShowMonitor();
  MonitorWindow* wu = windowOf(usb);
  ASSERT_NE(wu, nullptr);
  openMenus(wu);
  EXPECT_TRUE(enabled(wu, ID_DUMP_USB));
  zorSetUsbDumpFunc([](CDevice*) {
    return std::vector<std::string>{"DeviceIoControl request completed, success = 1 nBytes = 32\n",
                                    "===================", "", "USB_CONFIGURATION_DESCRIPTOR"};
  });
  withModal(
      "usbDump", [&] { wu->command(ID_DUMP_USB); },
      [](QWidget* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "USB Diagnostic");
        auto* list = dlg->findChild<QListWidget*>("list");
        ASSERT_EQ(list->count(), 4);
        EXPECT_EQ(list->item(0)->text(), "DeviceIoControl request completed, success = 1 nBytes = 32");
        EXPECT_EQ(list->item(2)->text(), "");
        EXPECT_EQ(list->item(3)->text(), "USB_CONFIGURATION_DESCRIPTOR");
      });
  zorSetUsbDumpFunc(nullptr);
}

TEST_F(Gui, PauseClearAndStatistics) {
  CDevNull device;
  device.ShowMonitor();
  MonitorWindow* w = windowOf(device);
  ASSERT_NE(w, nullptr);
  CMonitorDlg* monitor = device.Monitor();
  auto* pause = w->findChild<QPushButton*>("pause");
  auto* clear = w->findChild<QPushButton*>("clear");
  ASSERT_TRUE(pause != nullptr && clear != nullptr);
  EXPECT_EQ(pause->text(), "Pause");
  EXPECT_EQ(clear->text(), "&Clear");
  auto rows = [&] { return w->model()->rowCount(); };
  auto statistics = [&](const std::string& records, const std::string& rx, const std::string& tx) {
    withModal(
        "statistics", [&] { w->command(ID_STATISTICS); },
        [&](QWidget* dlg) {
          EXPECT_EQ(dlg->windowTitle(), "ZOR Statistics");
          EXPECT_EQ(labelText(dlg, "records"), records);
          EXPECT_EQ(labelText(dlg, "bytesReceived"), rx);
          EXPECT_EQ(labelText(dlg, "bytesTransmitted"), tx);
        });
  };

  logAs(device, LOG_TX, {1, 2, 3, 4, 5});
  logAs(device, LOG_RX, std::vector<unsigned char>(70, 9));  // two lines
  ASSERT_TRUE(pumpUntil([&] { return rows() == 3; }));
  statistics("2", "70", "5");

  QTest::mouseClick(pause, Qt::LeftButton);
  EXPECT_TRUE(monitor->IsPaused());
  EXPECT_TRUE(pause->isChecked());
  logAs(device, LOG_TX, {6});
  logAs(device, LOG_TX, {7});
  pump();
  EXPECT_EQ(rows(), 3) << "no new rows while paused";
  EXPECT_EQ(monitor->RecordsProcessed(), 4u) << "the counters go on";
  QTest::mouseClick(pause, Qt::LeftButton);
  EXPECT_FALSE(pause->isChecked());
  logAs(device, LOG_TX, {8});
  ASSERT_TRUE(pumpUntil([&] { return rows() == 4; }));
  EXPECT_EQ(cell(w, 3, 2), "008 ") << "only records after the pause are listed";

  QTest::mouseClick(clear, Qt::LeftButton);
  EXPECT_EQ(rows(), 0);
  statistics("0", "0", "0");
  logAs(device, LOG_EVENT, {});  // size 0: nothing
  CMonitorDlg::LogCallback(reinterpret_cast<long>(monitor), LOG_EVENT, nullptr, IDS_BUFFERS_FLUSHED);
  ASSERT_TRUE(pumpUntil([&] { return rows() == 1; }));
  EXPECT_EQ(cell(w, 0, 2), zorString(IDS_BUFFERS_FLUSHED)) << "the next record is row 0";
  EXPECT_EQ(cell(w, 0, 1), "");
  EXPECT_EQ(w->model()->offThreadCalls(), 0);
}

}  // namespace
}  // namespace zor
