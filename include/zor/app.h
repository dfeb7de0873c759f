// The library host object: library-wide settings, the serial port list and
// the clock that time-stamps traffic.
#pragma once

#include <zor/export.h>

#include <zor/platform.h>

#include <atomic>
#include <string>
#include <vector>

namespace zor {

class CRunZorModeless;

class ZOR_API CZORApp {
public:
  constexpr CZORApp() = default;

  // The library's start-up: reads the settings, then lists the serial ports.
  // Runs once, when the library loads or at its first use (a device's
  // construction, the port list), whichever comes first; later calls return at
  // once. Returns TRUE.
  BOOL InitInstance();
  int ExitInstance() { return 0; }
  // Handles one pending host window message, if any (the GUI installs the pump).
  void PumpMessage();

  // Settings, read once from section "ZOR.DLL" (tests may assign them directly).
  long m_ioTimeout = 100;
  long m_ioWriteTimeout = 5000;
  long m_threadGranularity = 15;
  long m_lockTimeout = 500;
  bool m_showMonitor = false;
  int m_monitorView = 0;
  bool m_filterRX = false;
  bool m_filterTX = false;
  bool m_filterSent = false;
  bool m_pauseOnExit = false;
  bool m_truePlayback = true;
  bool m_filterRcv = false;
  int m_writesBeforeXoff = 4;
  bool m_panicResume = true;
  int m_xProtocolOverride = -1;
  long m_connectionTimeout = 5000;
  int m_autoresumeTimer = 1200;
  int m_maxComPort = 4;

  std::atomic<DWORD> m_syncBase{0};
  std::atomic<CRunZorModeless*> m_pHostDlg{nullptr};
  std::vector<WORD> m_comPorts;
  // Installed by a GUI so that long loops keep its windows alive.
  void (*m_pumpMessage)() = nullptr;

private:
  void readSettings();
  void enumeratePorts();
};

ZOR_API extern CZORApp theApp;

}  // namespace zor

// Milliseconds since the most recent device was created (32-bit, wrapping).
ZOR_API unsigned long zorSyncTime();
// Serial ports found when the library loaded, ascending.
ZOR_API int zorNumComPorts();
// Port number at index (0-based); 0 when index is out of range.
ZOR_API int zorGetComPortNumber(int index);
// A text of the library's version record, as the about box shows it: code 3
// the version, 5 the copyright line (1 description, 4 product); else empty.
ZOR_API std::string zorVersionText(int code);
