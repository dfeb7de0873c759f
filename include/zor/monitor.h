// CMonitorDlg: the traffic monitor every device owns (CDevice::Monitor()).
//
// Once installed as the device's logger (CDevice::ShowMonitor), it turns each
// log record into monitor lines: filters, counters, a time stamp, chunks of
// 64 bytes rendered by the view mode, and three sinks — the record store a
// window draws, the debugger output (standard error) and the traffic log
// file that CDevPlayback reads back. Its options live in the settings store.
#pragma once

#include <zor/export.h>

#include <zor/platform.h>

#include <memory>
#include <string>

namespace zor {

class CDevice;
class CMonitorDlg;

// The window of a monitor. A window layer (libzor-gui) makes it on the
// thread that shows the monitor; the monitor owns it and deletes it in its
// destructor. The core never sees the toolkit behind it.
class ZOR_API CMonitorWindow {
public:
  virtual ~CMonitorWindow();
  // Shows the window again after the user closed it.
  virtual void Unhide() = 0;
  // "Pause on exit": brings the window forward and returns once the user has closed it.
  virtual void WaitForClose() = 0;
};

// Makes the window of a monitor, or returns null when none can be shown.
using zorMonitorWindowFactory = CMonitorWindow* (*)(CMonitorDlg* monitor);
// Installed by a window layer when it is loaded; null: Show makes no window.
ZOR_API void zorSetMonitorWindowFactory(zorMonitorWindowFactory factory);

// Posted to the list target after each line added to the record store.
constexpr UINT WM_FASTLIST_ADDED = 0x0401;
// Posted to the window target when the TX thread parks (wParam 0) or runs (1).
constexpr UINT WM_MONITOR_TXTHREAD = 0x0403;

enum MonitorView { MONITOR_VIEW_DECIMAL = 0, MONITOR_VIEW_HEX = 1, MONITOR_VIEW_ASCII = 2 };

// One line of the record store.
struct MonitorLine {
  // 0..9 for the tags "<<TX" "<<.." ">>RX" ">>.." "+Evn" "^Snd" "^..." "#Rcv" "#..." "PbEr";
  // 10 for the continuation lines of a playback error, which have no tag of
  // their own (a view draws them with the "PbEr" icon).
  int lineKind = 0;
  std::string time;  // "hh:mm:ss.mmm", "..." on continuation lines
  std::string size;  // total byte count on a record's first line, else empty
  std::string data;  // rendered bytes, or the event's text
};

class ZOR_API CMonitorDlg {
public:
  explicit CMonitorDlg(CDevice* device);
  virtual ~CMonitorDlg();
  CMonitorDlg(const CMonitorDlg&) = delete;
  CMonitorDlg& operator=(const CMonitorDlg&) = delete;

  // Creates or un-hides the window; false while no window can exist (no
  // window layer is loaded, or it cannot show one). Records reach the monitor
  // all the same once it is the device's logger.
  bool Show();
  // The logger form (zorLogFunc); context is the monitor. The caller's thread
  // only takes the record's time and a copy of its bytes; the monitor's own
  // thread writes it to the sinks, in the order of the calls. Every read-out
  // and command below first waits until the records logged before it are
  // written, and waits likewise while the records waiting to be written
  // hold more than 8 MiB.
  static void LogCallback(long context, int kind, const void* data, unsigned long size);
  // Returns once every record logged before the call has reached the list,
  // the debugger output and the traffic log file.
  void Flush();
  // selector 0: the device's TX thread parks (running false) or runs again.
  void SetTxThreadIndicator(int selector, bool running);

  CDevice* Device() const;

  // Option commands of the window's menu; each stores the options.
  void SetView(int view);
  void ToggleFilterRX();
  void ToggleFilterTX();
  // A file transfer's filter of one direction (LOG_RX or LOG_TX), set under
  // the monitor's lock, so that the device's threads see it in order with
  // their records, and not stored. Returns the value it had (on, when the
  // lock could not be had and nothing changed).
  bool SetTransferFilter(int kind, bool on);
  void ToggleFilterRcv();
  void ToggleFilterSent();
  void TogglePauseOnExit();
  void ToggleTruePlayback();  // playback devices only
  void ToggleShowMonitor();
  void ToggleExternalDebugger();
  void ToggleAlwaysOnTop();
  // "&Log to file...": while logging, stops it. Otherwise chosenPath is what
  // the save-as dialog returned (null: cancelled): the file is created or
  // truncated and held exclusively; a file held by another monitor is not
  // logged to. "Log filename" and "AutoLog to file" remember the outcome.
  // Does nothing on a playback device.
  void ToggleLogFile(const char* chosenPath);
  // Logs the traffic to path (created or truncated, held exclusively) from
  // now on, in place of any log being written, without storing anything in
  // the settings: a program's own log for one run. False when the file
  // cannot be opened (one line on standard error) or the device is a
  // playback device, which never writes a log.
  bool StartLogFile(const char* path);
  void TogglePause();
  // Empties the list and zeroes the three counters.
  void Clear();
  // Browsing a recorded traffic log ("zor view"): the file's lines become the
  // list's records, and the monitor logs to no file meanwhile. Lines whose
  // data are bytes in hexadecimal or decimal are shown in the view chosen,
  // and again in each view chosen later. False, with *error saying why, when
  // the file is no regular file, cannot be read, or has no line of a log.
  bool ViewLogFile(const char* path, std::string* error);

  // Read-outs.
  unsigned long long RecordsProcessed() const;
  unsigned long long BytesReceived() const;
  unsigned long long BytesTransmitted() const;
  bool IsPaused() const;
  bool IsExternalDebugger() const;
  bool IsAlwaysOnTop() const;
  bool IsLogToFile() const;
  int LineCount() const;
  int LineCapacity() const;
  bool GetLine(int index, MonitorLine& out) const;

  // Message targets of a window drawing this monitor (null: none). Once a
  // setter has returned, nothing more is posted to the old target.
  void SetListTarget(HWND list);
  void SetWindowTarget(HWND window);
  // The window, from the first successful Show until the destructor.
  CMonitorWindow* Window() const;
  bool IsHidden() const;
  // The window reports that the user closed it: it is hidden, logging goes on.
  void OnWindowClosed();
  // The stored "Log filename": where the "&Log to file..." dialog starts.
  std::string StoredLogFileName() const;

  // The line format, as the traffic log holds it.
  static std::string FormatTimestamp(unsigned long t);
  static std::string FormatLine(int lineKind, const char* time, const char* size, const char* data);

protected:
  // Captures a record for the writer.
  void ProcessRecord(int kind, const void* data, unsigned long size);
  // On the writer, holding the monitor's mutex: one captured record to the sinks.
  void WriteRecord(int kind, unsigned long time, const void* data, unsigned long size);
  void EmitLine(int lineKind, const char* time, const char* size, const char* data);
  bool IsFiltered(int kind) const;
  void LoadOptions();
  void SaveOptions();
  void WaitOnExit();

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
