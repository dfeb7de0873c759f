// For the tests of the window layer (programs that link Qt): bounded waits on
// the GUI thread's events, reaching a window's parts by object name, the
// monitor's window of a device, and the fixtures that start Qt offscreen.
#pragma once

#include "support/recorder.h"
#include "support/testdevice.h"

#include "zor/gui/monitor_window.h"

#include <zor/gui.h>
#include <zor/zor.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zor_test {

// Runs the GUI thread's events until pred holds; bounded.
inline bool pumpUntil(const std::function<bool()>& pred, int rounds = 2500) {
  for (int i = 0; i < rounds; ++i) {
    QCoreApplication::processEvents();
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

inline void pump() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

template <class T>
T* child(QWidget* w, const char* name) {
  T* c = w->findChild<T*>(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}

// The text of a label or line edit.
inline std::string text(QWidget* w, const char* name) {
  if (auto* l = w->findChild<QLabel*>(name)) return l->text().toStdString();
  if (auto* e = w->findChild<QLineEdit*>(name)) return e->text().toStdString();
  return "(no " + std::string(name) + ")";
}

inline void screenshot(QWidget* w, const char* file) {
  QDir().mkpath(ZOR_SCREENSHOT_DIR);
  EXPECT_TRUE(w->grab().save(QString(ZOR_SCREENSHOT_DIR) + "/" + file));
}

inline zor::MonitorWindow* windowOf(zor::CDevice& device) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<zor::MonitorWindow*>(w)) {
      std::lock_guard lock(m->link().mutex);
      if (m->link().monitor == device.Monitor()) return m;
    }
  return nullptr;
}

inline std::string cell(zor::MonitorWindow* w, int row, int column) {
  return w->model()->data(w->model()->index(row, column), Qt::DisplayRole).toString().toStdString();
}

// Opens each pop-up as the user does, which runs its update rules.
inline void openMenus(zor::MonitorWindow* w) {
  for (QMenu* menu : w->findChildren<QMenu*>()) emit menu->aboutToShow();
}

// Runs a command that opens a modal dialog; check sees the dialog, which then closes.
inline void withModal(const char* name, const std::function<void()>& open,
                      const std::function<void(QWidget*)>& check) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == name && w->isVisible()) {
        seen = true;
        check(w);
        static_cast<QDialog*>(w)->accept();
      }
  });
  open();
  EXPECT_TRUE(seen) << name << " was not shown";
}

inline std::string labelText(QWidget* w, const char* name) {
  auto* label = w->findChild<QLabel*>(name);
  return label != nullptr ? label->text().toStdString() : "(no " + std::string(name) + ")";
}

inline void logAs(zor::CDevice& device, int kind, const std::vector<unsigned char>& bytes) {
  zor::CMonitorDlg::LogCallback(reinterpret_cast<long>(device.Monitor()), kind, bytes.data(),
                                static_cast<unsigned long>(bytes.size()));
}

// A device of any type, for the rules that depend on it.
class TypedDevice : public TestDevice {
public:
  explicit TypedDevice(zor::zorType type) : m_type(type) {}
  zor::zorType Type() const override { return m_type; }

private:
  zor::zorType m_type;
};

// A host window that counts its stops and the posts it got.
class TestHost : public zor::CRunZorModeless {
public:
  using CRunZorModeless::CRunZorModeless;
  bool isTransferring() const override { return transferring; }
  void onStop() override { ++stops; }
  void OnMessage(zor::UINT msg, zor::WPARAM wParam, zor::LPARAM) override {
    if (msg != 0x0402) return;
    got.push_back(static_cast<int>(wParam));
    if (got.size() == 1000) OnCancel();
  }
  bool transferring = false;
  int stops = 0;
  std::vector<int> got;
};

// The monitor's window with the application running offscreen.
class Gui : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(zor::zorGuiEnsureApplication());
    zor::zorGuiInstall();
  }
  TestEnv env;
  SettingsScope settings;
};

// The host's windows: the same, their devices' threads waking often.
class HostWindows : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(zor::zorGuiEnsureApplication());
    zor::zorGuiInstall();
    settings->m_threadGranularity = 2;
  }
  std::string iniPath() const { return std::getenv("ZOR_CONFIG"); }
  TestEnv env;
  SettingsScope settings;
};

}  // namespace zor_test
