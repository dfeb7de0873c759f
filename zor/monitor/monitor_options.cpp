// The monitor's options: where they are kept, when they are read and written,
// and the commands that change them.
#include "zor/monitor/monitor_private.h"
#include "zor/support/support.h"

#include <zor/app.h>
#include <zor/device.h>
#include <zor/strings.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace zor {
namespace {

struct Settings {
  CIni ini;
  Settings() {
    ini.UseSystemFile();
    ini.ForceWriteDefaults();
  }
  bool flag(UINT key, bool def) { return ini.GetProfileIntA(IDS_SECTION, key, def ? 1 : 0) != 0; }
  void write(UINT key, int value) { ini.WriteProfileInt(IDS_SECTION, key, value); }
};

// The settings keep the full path so that a later process finds the same file.
std::string absolutePath(const char* path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? std::string(path) : abs.lexically_normal().string();
}

}  // namespace

bool CMonitorDlg::Private::isPlayback() const { return device != nullptr && device->Type() == ZOR_PLAYBACK; }

bool CMonitorDlg::Private::openLogFile(const std::string& path) {
  filePath = path;
  logToFile = file.Open(path.c_str(), CStdioFile::modeCreate | CStdioFile::modeWrite |
                                          CStdioFile::shareExclusive | CStdioFile::typeText);
  if (!logToFile) {
    DWORD err = GetLastError();
    std::fprintf(stderr, "zor: monitor: cannot log traffic to %s: %s\n", path.c_str(),
                 err == ERROR_SHARING_VIOLATION ? "the file is held by another monitor"
                                                : ("error " + std::to_string(err)).c_str());
  }
  return logToFile;
}

void CMonitorDlg::LoadOptions() {
  Settings s;
  p->externalDebugger = s.flag(IDS_EXTERNAL_DEBUGGER, p->externalDebugger);
  p->alwaysOnTop = s.flag(IDS_ALWAYS_ON_TOP, p->alwaysOnTop);
  // A playback device replays a log; it never writes one.
  if (p->isPlayback()) return;
  std::string name = s.ini.GetProfileStringA(IDS_SECTION, IDS_LOG_FILENAME, "");
  bool autoLog = s.flag(IDS_AUTOLOG_TO_FILE, false);
  if (name.empty()) autoLog = false;
  if (autoLog) autoLog = p->openLogFile(name);
  s.write(IDS_AUTOLOG_TO_FILE, autoLog ? 1 : 0);
}

std::string CMonitorDlg::StoredLogFileName() const {
  Settings s;
  return s.ini.GetProfileStringA(IDS_SECTION, IDS_LOG_FILENAME, "");
}

void CMonitorDlg::SaveOptions() {
  int view;
  bool filterRX, filterTX, filterRcv, filterSent, debugger, onTop, truePlayback, pauseOnExit, showMonitor;
  {
    CSingleLock lock(&p->mutex);
    if (!lock.Lock(Private::kLockTimeout)) return;
    view = theApp.m_monitorView;
    filterRX = theApp.m_filterRX;
    filterTX = theApp.m_filterTX;
    filterRcv = theApp.m_filterRcv;
    filterSent = theApp.m_filterSent;
    debugger = p->externalDebugger;
    onTop = p->alwaysOnTop;
    truePlayback = theApp.m_truePlayback;
    pauseOnExit = theApp.m_pauseOnExit;
    showMonitor = theApp.m_showMonitor;
  }
  Settings s;
  s.write(IDS_MONITOR_VIEW, view);
  s.write(IDS_MONITOR_FILTER_RX, filterRX);
  s.write(IDS_MONITOR_FILTER_TX, filterTX);
  s.write(IDS_MONITOR_FILTER_RCV, filterRcv);
  s.write(IDS_MONITOR_FILTER_SENT, filterSent);
  s.write(IDS_EXTERNAL_DEBUGGER, debugger);
  s.write(IDS_ALWAYS_ON_TOP, onTop);
  s.write(IDS_TRUE_PLAYBACK_SPEED, truePlayback);
  s.write(IDS_PAUSE_ON_EXIT, pauseOnExit);
  s.write(IDS_SHOW_DEBUG_MONITOR, showMonitor);
}

namespace {

// Runs change under the monitor mutex, then stores the options.
template <class State, class Change>
bool changeOption(State& state, Change change) {
  state.drain();
  CSingleLock lock(&state.mutex);
  if (!lock.Lock(State::kLockTimeout)) return false;
  change();
  return true;
}

}  // namespace

void CMonitorDlg::SetView(int view) {
  if (view < MONITOR_VIEW_DECIMAL || view > MONITOR_VIEW_ASCII) return;
  if (changeOption(*p, [&] {
        theApp.m_monitorView = view;
        if (!p->viewed.empty()) p->renderViewed();  // a browsed log follows the view
      }))
    SaveOptions();
}

void CMonitorDlg::ToggleFilterRX() {
  if (changeOption(*p, [] { theApp.m_filterRX = !theApp.m_filterRX; })) SaveOptions();
}

void CMonitorDlg::ToggleFilterTX() {
  if (changeOption(*p, [] { theApp.m_filterTX = !theApp.m_filterTX; })) SaveOptions();
}

bool CMonitorDlg::SetTransferFilter(int kind, bool on) {
  bool& filter = kind == LOG_TX ? theApp.m_filterTX : theApp.m_filterRX;
  bool was = on;
  changeOption(*p, [&] {
    was = filter;
    filter = on;
  });
  return was;
}

void CMonitorDlg::ToggleFilterRcv() {
  if (changeOption(*p, [] { theApp.m_filterRcv = !theApp.m_filterRcv; })) SaveOptions();
}

void CMonitorDlg::ToggleFilterSent() {
  if (changeOption(*p, [] { theApp.m_filterSent = !theApp.m_filterSent; })) SaveOptions();
}

void CMonitorDlg::TogglePauseOnExit() {
  if (changeOption(*p, [] { theApp.m_pauseOnExit = !theApp.m_pauseOnExit; })) SaveOptions();
}

void CMonitorDlg::ToggleTruePlayback() {
  if (!p->isPlayback()) return;
  if (changeOption(*p, [] { theApp.m_truePlayback = !theApp.m_truePlayback; })) SaveOptions();
}

void CMonitorDlg::ToggleShowMonitor() {
  if (changeOption(*p, [] { theApp.m_showMonitor = !theApp.m_showMonitor; })) SaveOptions();
}

void CMonitorDlg::ToggleExternalDebugger() {
  if (changeOption(*p, [&] { p->externalDebugger = !p->externalDebugger; })) SaveOptions();
}

void CMonitorDlg::ToggleAlwaysOnTop() {
  // The window re-applies its z-order after the command.
  if (changeOption(*p, [&] { p->alwaysOnTop = !p->alwaysOnTop; })) SaveOptions();
}

void CMonitorDlg::ToggleLogFile(const char* chosenPath) {
  if (p->isPlayback()) return;
  bool wasLogging = false;
  bool logging = false;
  std::string path;
  p->drain();
  {
    CSingleLock lock(&p->mutex);
    if (!lock.Lock(Private::kLockTimeout)) return;
    wasLogging = p->logToFile;
    if (wasLogging) {
      p->file.Close();
      p->logToFile = false;
    } else {
      if (chosenPath == nullptr || *chosenPath == '\0') return;  // the dialog was cancelled
      path = absolutePath(chosenPath);
      logging = p->openLogFile(path);
    }
  }
  Settings s;
  if (!wasLogging) s.ini.WriteProfileStringA(IDS_SECTION, IDS_LOG_FILENAME, path.c_str());
  s.write(IDS_AUTOLOG_TO_FILE, logging ? 1 : 0);
}

bool CMonitorDlg::StartLogFile(const char* path) {
  if (p->isPlayback() || path == nullptr || *path == '\0') return false;
  p->drain();
  CSingleLock lock(&p->mutex);
  if (!lock.Lock(Private::kLockTimeout)) return false;
  if (p->logToFile) {
    p->file.Close();
    p->logToFile = false;
  }
  return p->openLogFile(absolutePath(path));
}

}  // namespace zor
