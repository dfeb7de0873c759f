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
#include <zor/host.h>
#include <zor/ptybridge.h>

#include <QDialog>
#include <QIcon>

#include <memory>
#include <string>
#include <vector>

#define ZOR_GUI_API __attribute__((visibility("default")))

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;

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
  ID_HOST_RECEIVE_FILE = 21713,
  ID_HOST_SEND_FILE = 21714,
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

// "RunZOR": which device to open and how. The rules are CRunZorSettings',
// the controls show them; the accessors hold after DoModal gave IDOK.
class ZOR_GUI_API CRunZorDlg : public QDialog, public CRunZorSettings {
public:
  static constexpr int IDOK = 1;
  static constexpr int IDCANCEL = 2;
  explicit CRunZorDlg(bool serverMode, QWidget* parent = nullptr);
  // IDOK after OK, IDCANCEL after "Exit" or the close box.
  int DoModal();
  // Enables the controls that make sense for entry; changes no value.
  void UpdatePortControls(int entry);
  // A new entry in the port list: server-mode snapping, then its defaults.
  void OnPortChange();
  // The "Defaults" button: the selected entry's defaults, shown.
  void ApplyPortDefaults();
  // "...": a playback file that exists becomes the address.
  void OnBrowse();
  // Takes the controls, writes the eleven keys, ends with IDOK.
  void OnOK();

protected:
  // The open-file dialog of OnBrowse; empty when cancelled.
  virtual QString askPlaybackFile();
  void accept() override { OnOK(); }

private:
  void showValues(bool withAddress);
  void takeValues();

  QComboBox* m_port;
  QLabel* m_addressLabel;
  QLineEdit* m_addressEdit;
  QPushButton* m_browse;
  QCheckBox *m_ovRx, *m_ovTx, *m_xon, *m_loop, *m_rtsCts;
  QComboBox *m_baud, *m_parity, *m_dataBits, *m_stopBits;
};

// "Send File": the size, the bytes that have left the device with their
// percentage, a bar and "Abort", which greys itself and stays.
class ZOR_GUI_API CSendFileDlg : public QDialog, public CTransferProgress {
public:
  explicit CSendFileDlg(QWidget* parent = nullptr);
  void CreateAndShow();
  void SetProgress(unsigned long long sent, unsigned long long total) override;
  bool IsAborted() const { return m_aborted; }
  bool IsCancelled() override { return m_aborted; }
  void HandleEvents() override;
  void OnAbort();

protected:
  void reject() override { OnAbort(); }

private:
  QLabel *m_size, *m_sent;
  QProgressBar* m_bar;
  QPushButton* m_abort;
  bool m_aborted = false;
};

// "Receive file": the count so far and "Close", the only way a reception ends.
class ZOR_GUI_API CRcvFileDlg : public QDialog, public CTransferProgress {
public:
  explicit CRcvFileDlg(QWidget* parent = nullptr);
  void CreateAndShow();
  void SetReceived(unsigned long long count) override;
  bool IsClosed() const { return m_closed; }
  bool IsCancelled() override { return m_closed; }
  void HandleEvents() override;
  void OnClose();

protected:
  void reject() override { OnClose(); }

private:
  QLabel* m_count;
  QPushButton* m_close;
  bool m_closed = false;
};

// "ZOR": the one-line terminal. "&Send" (and Enter) sends the text by the
// monitor's view; the Xfer menu sends and receives files raw.
class ZOR_GUI_API CRunZorMainDlg : public CRunZorModeless {
public:
  explicit CRunZorMainDlg(CDevice* device, QWidget* parent = nullptr);
  bool isTransferring() const override { return m_transferring; }
  // Send: the edit's text as the monitor's view makes it bytes.
  void OnSend();
  // "&Send file..." / "&Receive file...": the file dialog, then the transfer.
  void OnSendFile();
  void OnReceiveFile();
  // The transfers with the file already chosen: the monitor's filter of that
  // direction forced on meanwhile, then the result box. True on success.
  bool SendFileAt(const std::string& path);
  bool ReceiveFileAt(const std::string& path);
  // "Publish as &pseudo-terminal": the device as a pty other programs open
  // as a serial port, its path shown under the text; off again on a second
  // use and when the window stops. False, with the reason in a box, when the
  // pty cannot be made.
  bool PublishPty(bool on);
  std::string PtyPath() const { return m_pty.SlavePath(); }
  void onStop() override { PublishPty(false); }

  bool m_transferring = false;

protected:
  // The file dialogs; empty when cancelled.
  virtual QString askFileName(bool save);
  // The result boxes.
  virtual void showResult(const char* text, bool success);

private:
  void updateTransferItems();
  // Either transfer, the dialogs of its direction around the loop.
  bool transfer(bool sending, const std::string& path);
  QLineEdit* m_text;
  QAction *m_sendFile, *m_receiveFile;
  QAction* m_publish;
  QLabel* m_ptyPath;
  CPtyBridge m_pty;
};

// The server windows: "Host name:", the field with this computer's name, "*
// Server error! *" or "<client> connected", and an icon with dark screens
// while waiting, lit blue while a client is connected.
class ZOR_GUI_API CRunZorRelayDlg : public CRunZorModeless {
public:
  ~CRunZorRelayDlg() override;
  bool isTransferring() const override { return false; }
  // Stops the relay (within one 500 ms wait) and closes the channel.
  void onStop() override;
  // What the field shows.
  QString fieldText() const;
  bool clientShown() const;
  bool serving() const { return m_server.IsRunning(); }

protected:
  CRunZorRelayDlg(CHostServer::Kind kind, const char* caption, CDevice* device, QWidget* parent);
  void OnInitDialog() override;
  void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
  CHostServer m_server;
  std::string m_hostName;
  QLineEdit* m_field;
  QLabel *m_waiting, *m_connected;
};

// "ZOR Server": the device served to one CDevNet client over the local pipes.
class ZOR_GUI_API CRunZorServerDlg : public CRunZorRelayDlg {
public:
  explicit CRunZorServerDlg(CDevice* device, QWidget* parent = nullptr);
};

// "ZOR Remote Server": the device served to one CDevTcp client on port 40765,
// or (kind RFC2217 or RAW) to one client of a network serial port or of raw bytes.
class ZOR_GUI_API CRunZorRemoteServerDlg : public CRunZorRelayDlg {
public:
  explicit CRunZorRemoteServerDlg(CDevice* device, QWidget* parent = nullptr);
  CRunZorRemoteServerDlg(CDevice* device, QWidget* parent, CHostServer::Kind kind);
};

// The mode loops: settings dialog, open, window, close, again, until the
// dialog's "Exit". The client mode shows the monitor and the terminal and
// says "Error opening the selected port" when the open fails; the server
// modes say nothing. False, at once, when no window can be shown.
ZOR_GUI_API bool runClientWindowMode();
// "zor view": the traffic log in a monitor window until the window is closed.
ZOR_GUI_API bool runViewWindowMode(const char* file);
ZOR_GUI_API bool runServerWindowMode();
ZOR_GUI_API bool runRemoteWindowMode();
// The remote server's mode in one of its protocols (REMOTE, RFC2217, RAW).
ZOR_GUI_API bool runRemoteWindowMode(CHostServer::Kind kind);

}  // namespace zor

// The entry points, by name, for a program that loads the window layer at
// run time. The arguments are not read: there are no options.
extern "C" {
ZOR_GUI_API void CALLBACK runA(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPSTR commandLine, int show);
ZOR_GUI_API void CALLBACK runW(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPWSTR commandLine, int show);
ZOR_GUI_API void CALLBACK serverA(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPSTR commandLine, int show);
ZOR_GUI_API void CALLBACK serverW(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPWSTR commandLine, int show);
ZOR_GUI_API void CALLBACK remoteA(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPSTR commandLine, int show);
ZOR_GUI_API void CALLBACK remoteW(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPWSTR commandLine, int show);
ZOR_GUI_API void CALLBACK helpA(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPSTR commandLine, int show);
ZOR_GUI_API void CALLBACK helpW(zor::HWND hwnd, zor::HINSTANCE hinst, zor::LPWSTR commandLine, int show);
// The program's windowed modes: "run", "server", "remote" (file unused); the
// exit status.
ZOR_GUI_API int zorGuiMode(const char* mode, const char* file);
}
