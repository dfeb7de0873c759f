// The window layer, libzor-gui (CMake zor::gui, pkg-config zor-gui): the
// monitor's window and the host's dialogs on Qt 6 Widgets. The core library
// never loads Qt; linking this library installs the monitor's window maker,
// so that CMonitorDlg::Show (and CDevice::ShowMonitor) opens a window. The
// umbrella header zor/zor.h leaves this one out: it brings in Qt.
//
// Every window belongs to the GUI thread: the thread that owns the
// QApplication, which this library creates on the first Show when the
// process has none. Device threads reach the windows only by posted messages.
#pragma once

#include <zor/device.h>

#include <QDialog>
#include <QIcon>

#include <memory>
#include <string>
#include <vector>

#define ZOR_GUI_API __attribute__((visibility("default")))

class QListWidget;
class QMenu;

namespace zor {

class HostPoster;

// Installs the monitor's window maker and the host object's message pump.
// The library does it when it is loaded; calling it again does nothing. A
// program that uses nothing else of the library calls it, or a linker that
// drops unused libraries (--as-needed) leaves the window layer out.
ZOR_GUI_API void zorGuiInstall();

// The QApplication of the process, created on the calling thread when there
// is none. False, with one line on standard error (once), when no window can
// be shown: no display (neither DISPLAY nor WAYLAND_DISPLAY, and no
// QT_QPA_PLATFORM), or the caller is not the thread of the existing one.
ZOR_GUI_API bool zorGuiEnsureApplication();

// The icon of the library's windows.
ZOR_GUI_API QIcon zorAppIcon();

// The lines of the USB configuration dump of a device, for "&Dump USB
// Config..." (by default CDevUSB::DumpUSBConfig; null: the command shows nothing).
using zorUsbDumpFunc = std::vector<std::string> (*)(CDevice* device);
ZOR_GUI_API void zorSetUsbDumpFunc(zorUsbDumpFunc dump);

// The host's command ids that the window base routes.
enum HostCommand {
  ID_HOST_EXIT = 21700,
  ID_HOST_FLUSH = 21701,
  ID_HOST_ABOUT = 21704,
  ID_HOST_SHOW_MONITOR = 21716,
};

// Base of the host's windows: a modeless dialog with a loop of its own on
// the GUI thread. Exit, Escape, Enter and the close box all end in OnCancel.
class ZOR_GUI_API CRunZorModeless : public QDialog {
public:
  CRunZorModeless(CDevice* device, QWidget* parent = nullptr);
  // Clears theApp.m_pHostDlg when it names this window.
  ~CRunZorModeless() override;

  // Shows the window and handles its events until OnCancel. Each pass blocks
  // until an event arrives and then handles every waiting one. Returns at
  // once, false, when no window can be shown.
  bool runModeless();
  // onStop(), then the loop ends.
  void OnCancel();
  void OnOK() { OnCancel(); }
  // A host command: 21700 Exit, 21701 Flush buffers, 21704 About, 21716 Show
  // ZOR Monitor. False for any other id.
  bool OnCommand(int id);
  // A menu action carrying a command id, routed to OnCommand.
  QAction* addCommand(QMenu* menu, int id, const char* text);

  virtual bool isTransferring() const { return false; }
  virtual void onStop() {}

  // Where other threads post to this window (PostMessageA); the messages
  // reach OnMessage on the GUI thread, in order, as the loop handles events.
  // Whoever posts stops before the window goes (onStop is the place).
  HWND GetSafeHwnd();

  CDevice* m_pDevice;
  bool m_running = true;

protected:
  virtual void OnMessage(UINT /*msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/) {}
  // The window's set-up before it is first shown (the icon, m_running).
  virtual void OnInitDialog();
  void reject() override { OnCancel(); }
  void accept() override { OnOK(); }
  void closeEvent(QCloseEvent* event) override;
  // Enter in a window without a default button is OnOK.
  void keyPressEvent(QKeyEvent* event) override;

private:
  std::unique_ptr<HostPoster> m_poster;
};

// "About ZOR": the version record's texts, read once at construction.
class ZOR_GUI_API CAboutDlg : public QDialog {
public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  std::string m_version;
  std::string m_second;
};

// "USB Diagnostic": the lines of a configuration dump, in order.
class ZOR_GUI_API CUsbDumpDlg : public QDialog {
public:
  explicit CUsbDumpDlg(const std::vector<std::string>& lines, QWidget* parent = nullptr);
  void setLines(const std::vector<std::string>& lines);

private:
  QListWidget* m_list;
};

}  // namespace zor
