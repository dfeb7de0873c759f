// The server windows around their relays with real clients, and the mode
// loops driven as a user answers them.
#include "support/gui_test.h"
#include "support/recorder.h"
#include "support/tcppeer.h"
#include "support/testdevice.h"

#include "zor/gui/monitor_window.h"

#include <zor/gui.h>
#include <zor/zor.h>

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

using ::testing::HasSubstr;
using zor_test::HostWindows;
using zor_test::pumpUntil;
using zor_test::screenshot;
using zor_test::text;
using Bytes = std::vector<unsigned char>;

// A pipe folder of the test's own, with a short path: a socket's path has
// room for 107 characters only.
struct PipeFolder {
  PipeFolder() : dir("/tmp/zor-hw-" + std::to_string(getpid())) { setenv("ZOR_PIPE_DIR", dir.c_str(), 1); }
  ~PipeFolder() {
    unsetenv("ZOR_PIPE_DIR");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
};

template <class Base>
struct Exposed : Base {
  using Base::Base;
  using CRunZorRelayDlg::OnInitDialog;
};

// Runs the window's own loop; body drives it from inside and ends it.
template <class Window>
void runWindow(Window& w, const std::function<void()>& body) {
  bool ran = false;
  QTimer::singleShot(0, [&] {
    ran = true;
    body();
    w.OnCancel();
  });
  EXPECT_TRUE(w.runModeless());
  EXPECT_TRUE(ran);
}

TEST_F(HostWindows, IntranetServerWindowShowsTheClientAndFlipsTheIcon) {
  PipeFolder pipes;
  CDevNull served;
  served.Loopback(true);
  ASSERT_TRUE(served.OpenDevice(0, 8192, 8192));
  {
    CRunZorServerDlg w(&served);
    runWindow(w, [&] {
      EXPECT_EQ(w.windowTitle(), "ZOR Server");
      ASSERT_TRUE(w.serving());
      const std::string host = w.fieldText().toStdString();
      EXPECT_FALSE(host.empty());
      EXPECT_FALSE(w.clientShown());
      {
        CDevNet client(".");
        ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
        ASSERT_TRUE(pumpUntil([&] { return w.clientShown(); }));
        EXPECT_THAT(w.fieldText().toStdString(), HasSubstr(" connected"));
        // The loopback answers through the relay.
        ASSERT_TRUE(client.WriteBuffer(reinterpret_cast<const unsigned char*>("ping"), 4));
        EXPECT_EQ(zor_test::readBytes(client, 4, 5000), (Bytes{'p', 'i', 'n', 'g'}));
        client.CloseDevice();
      }
      ASSERT_TRUE(pumpUntil([&] { return !w.clientShown(); }));
      EXPECT_EQ(w.fieldText().toStdString(), host);
      // A second server finds the pipes taken and says so; the window stays.
      Exposed<CRunZorServerDlg> second(&served);
      second.OnInitDialog();
      EXPECT_EQ(second.fieldText(), "* Server error! *");
      EXPECT_FALSE(second.serving());
    });
    EXPECT_FALSE(w.serving()) << "Exit stopped the relay";
  }
  served.CloseDevice();
}

TEST_F(HostWindows, RemoteServerWindowShowsTheClientAddressAndExitEndsTheRelay) {
  CDevNull served;
  served.Loopback(true);
  ASSERT_TRUE(served.OpenDevice(0, 8192, 8192));
  {
    CRunZorRemoteServerDlg w(&served);
    CDevTcp client("127.0.0.1");
    runWindow(w, [&] {
      EXPECT_EQ(w.windowTitle(), "ZOR Remote Server");
      ASSERT_TRUE(w.serving());
      const std::string host = w.fieldText().toStdString();
      {
        // The port is in use: a second window shows the error and stays.
        Exposed<CRunZorRemoteServerDlg> second(&served);
        second.OnInitDialog();
        EXPECT_EQ(second.fieldText(), "* Server error! *");
        EXPECT_FALSE(second.serving());
      }
      ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
      ASSERT_TRUE(pumpUntil([&] { return w.clientShown(); }));
      EXPECT_EQ(w.fieldText().toStdString(), "127.0.0.1 connected");
      ASSERT_TRUE(client.WriteBuffer(reinterpret_cast<const unsigned char*>("echo"), 4));
      EXPECT_EQ(zor_test::readBytes(client, 4, 5000), (Bytes{'e', 'c', 'h', 'o'}));
      screenshot(&w, "remote-server.png");
      // Exit with the client still connected (runWindow's OnCancel).
    });
    EXPECT_FALSE(w.serving());
    client.CloseDevice();
  }
  served.CloseDevice();
}

// Answers the mode loop's dialogs in turn: each step sees the active
// window and says whether it acted. Bounded: after too many ticks, every
// window is closed.
class Script {
public:
  using Step = std::function<bool(QWidget*)>;
  explicit Script(std::vector<Step> steps) : m_steps(std::move(steps)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    m_timer.start(5);
  }
  std::size_t done() const { return m_next; }

private:
  void tick() {
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr)
      for (QWidget* t : QApplication::topLevelWidgets())
        if (dynamic_cast<CRunZorModeless*>(t) != nullptr && t->isVisible()) w = t;
    if (++m_ticks > 4000) {
      if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
      return;
    }
    if (w != nullptr && m_next < m_steps.size() && m_steps[m_next](w)) ++m_next;
  }
  std::vector<Step> m_steps;
  std::size_t m_next = 0;
  int m_ticks = 0;
  QTimer m_timer;
};

Script::Step settingsOk(int entry, const char* address = "") {
  return [=](QWidget* w) {
    auto* dlg = dynamic_cast<CRunZorDlg*>(w);
    if (dlg == nullptr) return false;
    dlg->findChild<QComboBox*>("port")->setCurrentIndex(CRunZorSettings::PortPosition(entry));
    dlg->findChild<QLineEdit*>("address")->setText(address);
    dlg->findChild<QPushButton*>("ok")->click();
    return true;
  };
}

Script::Step settingsExit() {
  return [](QWidget* w) {
    auto* dlg = dynamic_cast<CRunZorDlg*>(w);
    if (dlg == nullptr) return false;
    dlg->findChild<QPushButton*>("exit")->click();
    return true;
  };
}

TEST_F(HostWindows, RemoteServerWindowInTheNetworkSerialPortProtocol) {
  CDevNull served;
  served.Loopback(true);
  ASSERT_TRUE(served.OpenDevice(0, 8192, 8192));
  {
    CRunZorRemoteServerDlg w(&served, nullptr, CHostServer::RFC2217);
    CDevRfc2217 client("127.0.0.1", CDevTcp::TCP_PORT);
    runWindow(w, [&] {
      EXPECT_EQ(w.windowTitle(), "ZOR Remote Server (RFC 2217)");
      ASSERT_TRUE(w.serving());
      ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
      ASSERT_TRUE(pumpUntil([&] { return w.clientShown(); }));
      EXPECT_EQ(w.fieldText().toStdString(), "127.0.0.1 connected");
      {
        // A second client is turned away; the window goes on showing the first.
        CDevRfc2217 second("127.0.0.1", CDevTcp::TCP_PORT);
        EXPECT_FALSE(second.OpenDevice(0, 1024, 1024));
      }
      ASSERT_TRUE(client.WriteBuffer(reinterpret_cast<const unsigned char*>("\xff\xff"), 2));
      EXPECT_EQ(zor_test::readBytes(client, 2, 5000), (Bytes{0xFF, 0xFF}));
      // Answered by the channel's thread after it posted the turning away: the window has it now.
      EXPECT_TRUE(client.ChangeSpeed(115200));
      zor_test::pump();
      EXPECT_TRUE(w.clientShown());
    });
    EXPECT_FALSE(w.serving());
    client.CloseDevice();
  }
  served.CloseDevice();
}

TEST_F(HostWindows, ClientModeLoopReportsAFailedOpenRunsTheTerminalAndEndsOnExit) {
  std::string message;
  bool terminalShown = false, monitorShown = false, hostSet = false;
  Script script({
      settingsOk(CRunZorSettings::ENTRY_PLAYBACK),  // no file: nothing opens
      [&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box == nullptr) return false;
        message = box->text().toStdString();
        box->accept();
        return true;
      },
      settingsOk(CRunZorSettings::ENTRY_NULL),
      [&](QWidget* w) {
        auto* term = dynamic_cast<CRunZorMainDlg*>(w);
        if (term == nullptr) return false;
        terminalShown = term->windowTitle() == "ZOR";
        hostSet = theApp.m_pHostDlg.load() == term;
        for (QWidget* t : QApplication::topLevelWidgets())
          monitorShown = monitorShown || (qobject_cast<MonitorWindow*>(t) != nullptr && t->isVisible());
        term->findChild<QAction*>("command21700")->trigger();
        return true;
      },
      settingsExit(),
  });
  runA(nullptr, nullptr, const_cast<char*>("ignored --options"), 1);
  EXPECT_EQ(script.done(), 5u);
  EXPECT_EQ(message, "Error opening the selected port");
  EXPECT_TRUE(terminalShown && monitorShown && hostSet);
  EXPECT_EQ(theApp.m_pHostDlg.load(), nullptr) << "the host window pointer outlived its window";
}

TEST_F(HostWindows, ServerModeLoopSaysNothingOnAFailedOpenAndServesUntilExit) {
  PipeFolder pipes;
  std::string field = "(not shown)";
  bool boxSeen = false;
  Script script({
      settingsOk(CRunZorSettings::ENTRY_PLAYBACK),
      [&](QWidget* w) {
        boxSeen = boxSeen || qobject_cast<QMessageBox*>(w) != nullptr;
        if (qobject_cast<QMessageBox*>(w) != nullptr) static_cast<QDialog*>(w)->accept();
        return dynamic_cast<CRunZorDlg*>(w) != nullptr && settingsOk(CRunZorSettings::ENTRY_NULL)(w);
      },
      [&](QWidget* w) {
        auto* server = dynamic_cast<CRunZorRelayDlg*>(w);
        if (server == nullptr) return false;
        field = server->windowTitle().toStdString() + ": " + server->fieldText().toStdString();
        QTest::keyClick(server, Qt::Key_Escape);
        return true;
      },
      settingsExit(),
  });
  serverW(nullptr, nullptr, const_cast<wchar_t*>(L""), 0);
  EXPECT_EQ(script.done(), 4u);
  EXPECT_FALSE(boxSeen);
  EXPECT_THAT(field, ::testing::StartsWith("ZOR Server: "));
  EXPECT_THAT(field, ::testing::Not(HasSubstr("error")));
}

TEST_F(HostWindows, HelpWithoutAConsoleWritesNothing) {
  testing::internal::CaptureStderr();
  helpA(nullptr, nullptr, nullptr, 0);
  helpW(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace zor
