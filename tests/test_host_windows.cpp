// The host's windows: the settings dialog over the stored choice, and the
// terminal's Send and its transfer dialogs.
#include "support/gui_test.h"
#include "support/recorder.h"
#include "support/tcppeer.h"
#include "support/testdevice.h"

#include "zor/gui/monitor_window.h"

#include <zor/gui.h>
#include <zor/zor.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace zor {
namespace {

using ::testing::ElementsAre;
using zor_test::child;
using zor_test::HostWindows;
using zor_test::pumpUntil;
using zor_test::screenshot;
using zor_test::text;
using Bytes = std::vector<unsigned char>;

bool checked(QWidget* w, const char* name) { return child<QCheckBox>(w, name)->isChecked(); }
bool enabled(QWidget* w, const char* name) { return child<QWidget>(w, name)->isEnabled(); }
int listIndex(QWidget* w, const char* name) { return child<QComboBox>(w, name)->currentIndex(); }

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
  return b;
}

Bytes fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The serial ports the host object found, replaced while the test runs.
struct ComPorts {
  explicit ComPorts(std::vector<WORD> ports) : saved(theApp.m_comPorts) {
    theApp.m_comPorts = std::move(ports);
  }
  ~ComPorts() { theApp.m_comPorts = saved; }
  std::vector<WORD> saved;
};

// A terminal whose file dialogs and result boxes the test answers.
class Terminal : public CRunZorMainDlg {
public:
  using CRunZorMainDlg::CRunZorMainDlg;
  QString askFileName(bool) override { return QString::fromStdString(path); }
  void showResult(const char* text, bool) override {
    results.push_back(text);
    filterTxDuring = theApp.m_filterTX;
    filterRxDuring = theApp.m_filterRX;
    transferringDuring = isTransferring();
    xferEnabledDuring = findChild<QAction*>("command21714")->isEnabled();
  }
  std::string path;
  std::vector<std::string> results;
  bool filterTxDuring = false, filterRxDuring = false, transferringDuring = false, xferEnabledDuring = true;
};

// A pipe folder of the test's own, with a short path: a socket's path has

TEST_F(HostWindows, SettingsDialogFollowsTheEntryAndOkWritesTheElevenKeysInOrder) {
  ComPorts ports({1, 3});
  {
    // No keys stored: "NULL" with the stored defaults; the rules enable by entry.
    CRunZorDlg dlg(false);
    EXPECT_EQ(dlg.windowTitle(), "RunZOR");
    auto* port = child<QComboBox>(&dlg, "port");
    const int com3 = CRunZorSettings::ENTRY_FIRST_SERIAL + 1;
    // The kinds, the later ones after "Playback", then the ports; a stored
    // entry is no place in the list, so every row maps to its entry and back.
    ASSERT_EQ(port->count(), 8);
    EXPECT_EQ(port->itemText(4), "Playback");
    EXPECT_EQ(port->itemText(5), "RFC2217");
    EXPECT_EQ(port->itemText(6), "COM 1");
    EXPECT_EQ(port->itemText(7), "COM 3");
    EXPECT_EQ(port->currentIndex(), 0);
    const auto pick = [port](int entry) { port->setCurrentIndex(CRunZorSettings::PortPosition(entry)); };
    EXPECT_TRUE(checked(&dlg, "overlappedRx") && checked(&dlg, "xonXoff") && checked(&dlg, "rtsCts"));
    EXPECT_FALSE(checked(&dlg, "overlappedTx") || checked(&dlg, "loopback"));
    EXPECT_FALSE(enabled(&dlg, "rtsCts") || enabled(&dlg, "address") || enabled(&dlg, "browse"));
    EXPECT_TRUE(enabled(&dlg, "loopback"));
    EXPECT_EQ(child<QComboBox>(&dlg, "baudRate")->currentText(), "9600");
    EXPECT_EQ(child<QComboBox>(&dlg, "parity")->currentText(), "None");
    EXPECT_EQ(child<QComboBox>(&dlg, "dataBits")->currentText(), "8");
    EXPECT_EQ(child<QComboBox>(&dlg, "stopBits")->currentText(), "1");
    screenshot(&dlg, "settings-dialog.png");
    for (int row = port->count() - 1; row >= 0; --row) {
      port->setCurrentIndex(row);
      const int entry = dlg.GetPortIndex();
      EXPECT_EQ(port->itemText(row).toStdString(), CRunZorSettings::PortEntryText(entry)) << row;
      EXPECT_EQ(CRunZorSettings::PortPosition(entry), row);
    }
    EXPECT_EQ(dlg.GetPortIndex(), CRunZorSettings::ENTRY_NULL);

    pick(CRunZorSettings::ENTRY_TCP);
    EXPECT_EQ(text(&dlg, "addressLabel"), "Server:");
    EXPECT_TRUE(enabled(&dlg, "address"));
    EXPECT_FALSE(enabled(&dlg, "browse") || enabled(&dlg, "baudRate") || enabled(&dlg, "loopback"));
    for (const char* box : {"overlappedRx", "overlappedTx", "xonXoff", "loopback", "rtsCts"})
      EXPECT_FALSE(checked(&dlg, box)) << box;

    pick(CRunZorSettings::ENTRY_PLAYBACK);
    EXPECT_EQ(text(&dlg, "addressLabel"), "File:");
    EXPECT_TRUE(enabled(&dlg, "address") && enabled(&dlg, "browse"));
    for (const char* box : {"overlappedRx", "overlappedTx", "xonXoff", "loopback"})
      EXPECT_FALSE(enabled(&dlg, box)) << box;

    // A network serial port: its server's address and the line's lists.
    pick(CRunZorSettings::ENTRY_RFC2217);
    EXPECT_EQ(dlg.GetPortIndex(), 1000) << "the entry later kinds start at";
    EXPECT_EQ(text(&dlg, "addressLabel"), "Server:");
    EXPECT_TRUE(enabled(&dlg, "address") && enabled(&dlg, "baudRate") && enabled(&dlg, "rtsCts"));
    EXPECT_FALSE(enabled(&dlg, "browse") || enabled(&dlg, "overlappedRx"));

    // COM 3, with the serial defaults over changed lists.
    child<QComboBox>(&dlg, "baudRate")->setCurrentIndex(2);
    child<QComboBox>(&dlg, "parity")->setCurrentIndex(3);
    pick(com3);
    EXPECT_TRUE(checked(&dlg, "overlappedRx") && checked(&dlg, "overlappedTx") && checked(&dlg, "rtsCts"));
    EXPECT_FALSE(checked(&dlg, "xonXoff"));
    EXPECT_EQ(listIndex(&dlg, "baudRate"), 6);
    EXPECT_EQ(listIndex(&dlg, "parity"), 0);
    EXPECT_TRUE(enabled(&dlg, "rtsCts") && enabled(&dlg, "stopBits"));

    // Defaults on "USB": overlapped receive and XON/XOFF.
    pick(CRunZorSettings::ENTRY_USB);
    child<QCheckBox>(&dlg, "overlappedTx")->setChecked(true);
    child<QCheckBox>(&dlg, "xonXoff")->setChecked(false);
    child<QPushButton>(&dlg, "defaults")->click();
    EXPECT_TRUE(checked(&dlg, "overlappedRx") && checked(&dlg, "xonXoff"));
    EXPECT_FALSE(checked(&dlg, "overlappedTx") || checked(&dlg, "rtsCts") || checked(&dlg, "loopback"));

    // Serial values for the accessors, then OK.
    pick(com3);
    child<QComboBox>(&dlg, "baudRate")->setCurrentIndex(14);
    child<QComboBox>(&dlg, "parity")->setCurrentIndex(3);
    child<QComboBox>(&dlg, "dataBits")->setCurrentIndex(2);
    child<QComboBox>(&dlg, "stopBits")->setCurrentIndex(1);
    child<QLineEdit>(&dlg, "address")->setText("kept.txt");
    QTimer::singleShot(0, [&] { child<QPushButton>(&dlg, "ok")->click(); });
    ASSERT_EQ(dlg.DoModal(), CRunZorDlg::IDOK);
    EXPECT_EQ(dlg.GetPortIndex(), com3);
    EXPECT_EQ(dlg.GetBaudRate(), 256000u);
    EXPECT_EQ(dlg.GetParity(), 'M');
    EXPECT_EQ(dlg.GetDataBits(), 7);
    EXPECT_EQ(dlg.GetStopBits(), 1);
    EXPECT_STREQ(dlg.GetAddress(), "kept.txt");
  }
  // The keys, written into an empty file, in OK's order.
  std::vector<std::string> keys;
  std::istringstream lines(fileText(iniPath()));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("runZor ", 0) == 0) keys.push_back(line.substr(0, line.find('=')));
  EXPECT_THAT(keys, ElementsAre("runZor Address", "runZor Ovrlp RX", "runZor Ovrlp TX", "runZor XonXoff",
                                "runZor NumDev", "runZor Hwhandshake", "runZor Stopbit", "runZor Databit",
                                "runZor Parity", "runZor bdRate", "runZor loopback"));
  {
    // The next opening shows them; a server mode snaps a network entry to "NULL".
    CRunZorDlg again(false);
    EXPECT_EQ(listIndex(&again, "port"), 7);
    EXPECT_EQ(listIndex(&again, "baudRate"), 14);
    EXPECT_EQ(text(&again, "address"), "kept.txt");
    CRunZorDlg server(true);
    auto* port = child<QComboBox>(&server, "port");
    port->setCurrentIndex(CRunZorSettings::PortPosition(CRunZorSettings::ENTRY_NET));
    EXPECT_EQ(port->currentIndex(), 0);
    EXPECT_FALSE(checked(&server, "overlappedRx"));
    EXPECT_TRUE(enabled(&server, "loopback"));
    // "Exit" writes nothing.
    QTimer::singleShot(0, [&] { child<QPushButton>(&server, "exit")->click(); });
    EXPECT_EQ(server.DoModal(), CRunZorDlg::IDCANCEL);
  }
  {
    // Fewer ports than when stored: no selection, serial enabling, -1 stored.
    ComPorts fewer({1});
    CRunZorDlg dlg(false);
    EXPECT_EQ(listIndex(&dlg, "port"), -1);
    EXPECT_TRUE(enabled(&dlg, "rtsCts") && enabled(&dlg, "overlappedRx"));
    QTimer::singleShot(0, [&] { child<QPushButton>(&dlg, "ok")->click(); });
    ASSERT_EQ(dlg.DoModal(), CRunZorDlg::IDOK);
    EXPECT_EQ(dlg.GetPortIndex(), -1);
    EXPECT_EQ(openSelectedDevice(dlg), nullptr);
  }
  EXPECT_EQ(CRunZorSettings(false).GetPortIndex(), -1);
}

TEST_F(HostWindows, TerminalSendsTheTokensOfEachViewWithEnterAndTheMonitorShowsThem) {
  zor_test::TestDevice device;
  ASSERT_TRUE(device.OpenDevice(0, 8192, 8192));
  device.ShowMonitor();
  Terminal term(&device);
  term.show();
  auto* edit = child<QLineEdit>(&term, "text");
  // The view is the monitor's (its command changes it under the monitor's lock).
  auto sendIn = [&](int view, const char* line, bool enter) {
    device.Monitor()->SetView(view);
    const std::size_t before = device.written().size();
    edit->setText(line);
    if (enter)
      QTest::keyClick(edit, Qt::Key_Return);
    else
      child<QPushButton>(&term, "send")->click();
    EXPECT_EQ(edit->text().toStdString(), line) << "the edit keeps its text";
    // What the line stands for, then a marker byte to know that all came.
    device.Monitor()->SetView(2);
    edit->setText("~");
    child<QPushButton>(&term, "send")->click();
    EXPECT_TRUE(zor_test::waitUntil([&] { return device.written().size() > before; }, 5000));
    Bytes got = device.written();
    EXPECT_TRUE(zor_test::waitUntil(
        [&] { return (got = device.written()).size() > before && got.back() == '~'; }, 5000));
    return Bytes(got.begin() + static_cast<long>(before), got.end() - 1);
  };
  EXPECT_EQ(sendIn(0, "65 66 300", true), (Bytes{0x41, 0x42, 0x2C}));
  EXPECT_EQ(sendIn(1, "1 0a FF 123", true), (Bytes{0x01, 0x0A, 0xFF, 0x12}));
  EXPECT_EQ(sendIn(1, "  zz\t\t7  ", false), (Bytes{0x00, 0x07}));
  EXPECT_EQ(sendIn(2, "AB C", true), (Bytes{0x41, 0x42, 0x20, 0x43}));
  for (int view : {0, 1, 2}) EXPECT_TRUE(sendIn(view, "", true).empty()) << view;

  // The monitor beside it lists what went out.
  MonitorWindow* monitor = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<MonitorWindow*>(w)) monitor = m;
  ASSERT_NE(monitor, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return monitor->model()->rowCount() > 0; }));
  int txLines = 0;
  for (int r = 0; r < monitor->model()->rowCount(); ++r) {
    MonitorLine line;
    if (device.Monitor()->GetLine(r, line) && line.lineKind == 0) ++txLines;
  }
  EXPECT_GT(txLines, 0) << "no \"<<TX\" line";
  // The terminal beside its monitor, in one picture.
  QDir().mkpath(ZOR_SCREENSHOT_DIR);
  const QPixmap left = term.grab(), right = monitor->grab();
  QPixmap both(left.width() + 8 + right.width(), std::max(left.height(), right.height()));
  both.fill(Qt::white);
  {
    QPainter painter(&both);
    painter.drawPixmap(0, 0, left);
    painter.drawPixmap(left.width() + 8, 0, right);
  }
  EXPECT_TRUE(both.save(QString(ZOR_SCREENSHOT_DIR) + "/terminal-monitor.png"));
  device.CloseDevice();
}

TEST_F(HostWindows, SendFileDialogShowsTheProgressAndTheTerminalForcesTheFilter) {
  zor_test::TestDevice device;
  ASSERT_TRUE(device.OpenDevice(0, 8192, 8192));
  const std::string path = env.path("one-mib.bin");
  const Bytes data = pattern(1 << 20);
  zortest::writeFileBytes(path, data);
  {
    CSendFileDlg dlg;
    dlg.CreateAndShow();
    EXPECT_EQ(dlg.windowTitle(), "Send File");
    ASSERT_TRUE(SendFile(device, path.c_str(), dlg));
    EXPECT_EQ(text(&dlg, "size"), "1048576");
    EXPECT_EQ(text(&dlg, "sent"), "1048576 (100%)");
    EXPECT_EQ(child<QProgressBar>(&dlg, "progress")->value(), 100);
    ASSERT_TRUE(zor_test::waitUntil([&] { return device.written().size() == data.size(); }, 10000));
    EXPECT_TRUE(device.written() == data) << "the far end's copy differs";
    // 64-bit counts in full.
    dlg.SetProgress(5000000000ull, 10000000000ull);
    EXPECT_EQ(text(&dlg, "sent"), "5000000000 (50%)");
    // Escape is "Abort": greyed, the dialog stays.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_TRUE(dlg.IsAborted());
    EXPECT_FALSE(enabled(&dlg, "abort"));
    EXPECT_TRUE(dlg.isVisible());
  }
  Terminal term(&device);
  term.show();
  settings->m_filterTX = false;
  // The menu item, with its file dialog answered: sent, the filter forced meanwhile.
  term.path = path;
  term.findChild<QAction*>("command21714")->trigger();
  ASSERT_EQ(term.results.size(), 1u);
  EXPECT_EQ(term.results[0], "SendFile: File sent successfully");
  EXPECT_TRUE(term.filterTxDuring && term.transferringDuring);
  EXPECT_FALSE(term.xferEnabledDuring);
  EXPECT_FALSE(theApp.m_filterTX || term.isTransferring());
  EXPECT_TRUE(term.findChild<QAction*>("command21714")->isEnabled());
  // An empty file succeeds at once; a missing one is an error.
  zortest::writeFileBytes(env.path("empty.bin"), {});
  EXPECT_TRUE(term.SendFileAt(env.path("empty.bin")));
  EXPECT_FALSE(term.SendFileAt(env.path("missing.bin")));
  EXPECT_EQ(term.results.back(), "SendFile: Error");
  // Abort at the first look: the rings are flushed, the last write reported.
  const std::size_t before = device.written().size();
  QTimer::singleShot(0, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "sendFileDlg" && w->isVisible()) w->findChild<QPushButton*>("abort")->click();
  });
  EXPECT_TRUE(term.SendFileAt(path));
  EXPECT_EQ(term.results.back(), "SendFile: File sent successfully");
  EXPECT_EQ(device.GetTxBufferCount(), 0ul);
  EXPECT_LT(device.written().size() - before, data.size());
  device.CloseDevice();
}

TEST_F(HostWindows, ReceiveDialogWritesWhatArrivesUntilCloseAndForcesTheRxFilter) {
  zor_test::TestDevice device;
  ASSERT_TRUE(device.OpenDevice(0, 8192, 8192));
  Terminal term(&device);
  term.show();
  const Bytes data = pattern(6000);
  device.feed(data);
  // "Close" once every byte is counted (or, failing that, after a bound).
  int ticks = 0;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "rcvFileDlg" && w->isVisible() &&
          (text(w, "received") == "6000" || ++ticks > 1000))
        w->findChild<QPushButton*>("close")->click();
  });
  closer.start(5);
  settings->m_filterRX = false;
  term.path = env.path("received.bin");
  term.findChild<QAction*>("command21713")->trigger();
  closer.stop();
  ASSERT_EQ(term.results.size(), 1u);
  EXPECT_EQ(term.results[0], "File received successfully");
  EXPECT_TRUE(term.filterRxDuring && term.transferringDuring);
  EXPECT_FALSE(theApp.m_filterRX);
  EXPECT_TRUE(fileBytes(term.path) == data);

  // A silent device: "Close" (here Escape) ends it at once, the file empty.
  QTimer::singleShot(0, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "rcvFileDlg" && w->isVisible()) QTest::keyClick(w, Qt::Key_Escape);
  });
  EXPECT_TRUE(term.ReceiveFileAt(env.path("silent.bin")));
  EXPECT_TRUE(fileBytes(env.path("silent.bin")).empty());
  // A file that cannot be made.
  EXPECT_FALSE(term.ReceiveFileAt(env.path("no-such-folder/x.bin")));
  EXPECT_EQ(term.results.back(), "Receive File: Error");
  device.CloseDevice();
}
TEST_F(HostWindows, TerminalPublishesItsDeviceAsAPseudoTerminalAndShowsItsPath) {
  CDevNull device;
  device.Loopback(true);
  ASSERT_TRUE(device.OpenDevice(0, 8192, 8192));
  Terminal term(&device);
  term.show();
  auto* publish = term.findChild<QAction*>("publishPty");
  auto* path = child<QLabel>(&term, "ptyPath");
  ASSERT_NE(publish, nullptr);
  publish->trigger();
  EXPECT_TRUE(publish->isChecked());
  const std::string pts = term.PtyPath();
  ASSERT_EQ(pts.rfind("/dev/pts/", 0), 0u) << pts;
  EXPECT_TRUE(path->isVisibleTo(&term));
  EXPECT_EQ(path->text().toStdString(), "Pseudo-terminal: " + pts);
  // Another program's open: what it writes comes back through the loopback.
  const int fd = ::open(pts.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "ping", 4), 4);
  std::string got;
  for (int i = 0; i < 100 && got.size() < 4; ++i) {
    pollfd p{fd, POLLIN, 0};
    char buf[8];
    if (::poll(&p, 1, 50) == 1)
      got.append(buf, static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fd, buf, 8))));
  }
  ::close(fd);
  EXPECT_EQ(got, "ping");
  publish->trigger();
  EXPECT_FALSE(publish->isChecked());
  EXPECT_FALSE(path->isVisibleTo(&term));
  EXPECT_EQ(term.PtyPath(), "");
  publish->trigger();
  EXPECT_NE(term.PtyPath(), "");
  term.onStop();  // the window's end ends it too
  EXPECT_EQ(term.PtyPath(), "");
  device.CloseDevice();
}
}  // namespace
}  // namespace zor
