// theApp: library-wide settings and the serial port list, read once per process.
#include <zor/app.h>
#include <zor/strings.h>

#include "zor/platform/platform.h"
#include "zor/support/support.h"

#include <cstdio>
#include <mutex>

namespace zor {

// Constant-initialised, so it is usable from any other static initialiser.
constinit CZORApp theApp;

namespace {

constinit std::once_flag g_initOnce;

// Probing is one open attempt per number; a huge stored maximum must not stall
// the library's start-up.
constexpr int kMaxProbedPort = 256;

}  // namespace

// The library's one start-up: the settings, then the serial port list (probing
// opens "COMn" through CreateFileA's constant table of openers). It runs at
// load time (below) and is also called by whatever needs it first, so it reads
// only constant-initialised state and function-local statics: nothing depends
// on the order in which the static initialisers of different files run.
BOOL CZORApp::InitInstance() {
  std::call_once(g_initOnce, [this] {
    readSettings();
    enumeratePorts();
  });
  return TRUE;
}

namespace {

// In this file, beside theApp: whoever links theApp links its start-up too.
struct StartAtLoad {
  StartAtLoad() { theApp.InitInstance(); }
} g_startAtLoad;

}  // namespace

void CZORApp::PumpMessage() {
  if (m_pumpMessage != nullptr) m_pumpMessage();
}

void CZORApp::readSettings() {
  CIni ini;
  ini.UseSystemFile();
  ini.ForceWriteDefaults();
  m_threadGranularity = ini.GetProfileLong(IDS_SECTION, IDS_THREAD_GRANULARITY, m_threadGranularity);
  if (m_threadGranularity < 0) m_threadGranularity = 15;  // 0 is a mode of its own; below it, the default
  m_lockTimeout = ini.GetProfileLong(IDS_SECTION, IDS_LOCK_TIMEOUT, m_lockTimeout);
  m_connectionTimeout = ini.GetProfileLong(IDS_SECTION, IDS_CONNECTION_TIMEOUT, m_connectionTimeout);
  m_ioTimeout = ini.GetProfileLong(IDS_SECTION, IDS_IO_TIMEOUT, m_ioTimeout);
  m_ioWriteTimeout = ini.GetProfileLong(IDS_SECTION, IDS_IO_WRITE_TIMEOUT, m_ioWriteTimeout);
  m_showMonitor = ini.GetProfileIntA(IDS_SECTION, IDS_SHOW_DEBUG_MONITOR, m_showMonitor) != 0;
  m_monitorView = ini.GetProfileIntA(IDS_SECTION, IDS_MONITOR_VIEW, m_monitorView);
  m_filterRX = ini.GetProfileIntA(IDS_SECTION, IDS_MONITOR_FILTER_RX, m_filterRX) != 0;
  m_filterTX = ini.GetProfileIntA(IDS_SECTION, IDS_MONITOR_FILTER_TX, m_filterTX) != 0;
  m_writesBeforeXoff = ini.GetProfileIntA(IDS_SECTION, IDS_WRITES_BEFORE_XOFF, m_writesBeforeXoff);
  m_panicResume = ini.GetProfileIntA(IDS_SECTION, IDS_PANIC_RESUME, m_panicResume) != 0;
  m_xProtocolOverride = ini.GetProfileIntA(IDS_SECTION, IDS_X_PROTOCOL_OVERRIDE, m_xProtocolOverride);
  m_autoresumeTimer = ini.GetProfileIntA(IDS_SECTION, IDS_AUTORESUME_TIMER, m_autoresumeTimer);
  m_filterRcv = ini.GetProfileIntA(IDS_SECTION, IDS_MONITOR_FILTER_RCV, m_filterRcv) != 0;
  m_filterSent = ini.GetProfileIntA(IDS_SECTION, IDS_MONITOR_FILTER_SENT, m_filterSent) != 0;
  m_pauseOnExit = ini.GetProfileIntA(IDS_SECTION, IDS_PAUSE_ON_EXIT, m_pauseOnExit) != 0;
  m_truePlayback = ini.GetProfileIntA(IDS_SECTION, IDS_TRUE_PLAYBACK_SPEED, m_truePlayback) != 0;
  m_maxComPort = ini.GetProfileIntA(IDS_SECTION, IDS_MAX_COM_PORT, m_maxComPort);
}

void CZORApp::enumeratePorts() {
  m_comPorts.clear();
  int last = m_maxComPort < kMaxProbedPort ? m_maxComPort : kMaxProbedPort;
  for (int i = 1; i <= last; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%i", i);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_comPorts.push_back(static_cast<WORD>(i));
      CloseHandle(h);
      continue;
    }
    DWORD err = GetLastError();
    // The port exists but another program holds it.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION || err == ERROR_GEN_FAILURE)
      m_comPorts.push_back(static_cast<WORD>(i));
  }
}

}  // namespace zor

unsigned long zorSyncTime() {
  return static_cast<zor::DWORD>(zor::GetTickCount() - zor::theApp.m_syncBase.load());
}

int zorNumComPorts() {
  zor::theApp.InitInstance();
  return static_cast<int>(zor::theApp.m_comPorts.size());
}

int zorGetComPortNumber(int index) {
  zor::theApp.InitInstance();
  if (index < 0 || index >= zorNumComPorts()) return 0;
  return zor::theApp.m_comPorts[static_cast<std::size_t>(index)];
}
