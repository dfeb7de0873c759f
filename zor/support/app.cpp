// theApp: library-wide settings and the serial port list, read once per process.
#include <zor/app.h>
#include <zor/strings.h>

#include "zor/platform/platform.h"
#include "zor/platform/tty_transport.h"
#include "zor/support/support.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <vector>

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
// opens "COMn" as the serial device does, through the tty transport). It runs at
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

// Read once, whole: one problem with the file is one line on standard error.
void CZORApp::readSettings() {
  CIni ini;
  ini.UseSystemFile();
  ini.ForceWriteDefaults();
  auto warn = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  try {
    std::string text, problem;
    if (!readSettingsFile(ini.path(), text, &problem)) {
      warn("zor: settings file " + ini.path() + " " + problem + "; using the defaults");
      text.clear();
    }
    applySettingsText(text, ini.path(), *this, warn);
  } catch (const std::bad_alloc&) {
    // At load time nothing could catch it: the defaults instead.
    applySettingsText({}, ini.path(), *this, warn);
    std::fputs("zor: settings file: out of memory; using the defaults\n", stderr);
  }
}

void CZORApp::enumeratePorts() {
  m_comPorts.clear();
  int last = m_maxComPort < kMaxProbedPort ? m_maxComPort : kMaxProbedPort;
  // The maximum bounds the numbers probed blindly; a ports/COMn link the user
  // made names a port whatever its number.
  std::vector<int> numbers;
  for (int i = 1; i <= last; ++i) numbers.push_back(i);
  for (int n : linkedComNumbers())
    if (n > last && n <= 0xFFFF) numbers.push_back(n);
  for (int i : numbers) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%i", i);
    DWORD err = ERROR_SUCCESS;
    if (openTtyTransport(name, &err) != nullptr) {
      m_comPorts.push_back(static_cast<WORD>(i));
      continue;
    }
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
