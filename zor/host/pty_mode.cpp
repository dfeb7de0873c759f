// zor pty: the chosen device as a pseudo-terminal that any program opens as
// a serial port, until SIGINT or SIGTERM.
#include "zor/host/logged_device.h"
#include "zor/host/os/stop_signal.h"
#include "zor/host/port_options.h"

#include <zor/app.h>
#include <zor/device.h>
#include <zor/monitor.h>
#include <zor/ptybridge.h>
#include <zor/settings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace zor {
int runPtyMode(int argc, char** argv) {
  PortChoice choice;
  const char* link = nullptr;
  const char* log = nullptr;
  for (int i = 2; i < argc; ++i) {
    const int taken = takePortOption("pty", argc, argv, i, choice);
    if (taken < 0) return 2;
    if (taken > 0) continue;
    const char* a = argv[i];
    if (std::strcmp(a, "--link") != 0 && std::strcmp(a, "--log") != 0) {
      std::fprintf(stderr, "zor pty: unknown option \"%s\"; try zor pty --help\n", a);
      return 2;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr, "zor pty: %s needs a path; try zor pty --help\n", a);
      return 2;
    }
    (a[3] == 'i' ? link : log) = argv[++i];
  }

  // The stored choice, or the options' for this run only.
  CIni::KeepFileUnchanged();
  CRunZorSettings settings(false);
  if (choice.any() && !applyPortChoice("pty", choice, settings)) return 2;
  if (const int status = prepareTrafficLog("pty", settings, log)) return status;
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor pty: cannot watch for SIGINT, SIGTERM and SIGHUP\n");
    return 1;
  }

  char name[64];
  std::unique_ptr<CDevice> device = openLoggedDevice("pty", settings, log, name, sizeof name);
  if (!device) return 1;
  CPtyBridge bridge;
  if (!bridge.Start(*device, link)) {
    device->CloseDevice();
    std::fprintf(stderr, "zor pty: %s; give --link another path or stop the other zor pty\n",
                 bridge.ErrorText().c_str());
    return 1;
  }
  if (link != nullptr)
    std::printf("zor pty: %s at %s, linked as %s\n", name, bridge.SlavePath().c_str(), link);
  else
    std::printf("zor pty: %s at %s\n", name, bridge.SlavePath().c_str());
  std::fflush(stdout);

  bool logFailed = false;
  while (waitStopSignal(500) == 0) {
    if (log != nullptr && !device->Monitor()->IsLogToFile()) {
      logFailed = true;  // the monitor has said why in one line
      break;
    }
  }
  bridge.Stop();
  device->CloseDevice();
  if (log != nullptr && !device->Monitor()->IsLogToFile()) logFailed = true;
  if (const unsigned long overruns = device->GetRxOverrunCount()) {
    std::fprintf(stderr, "zor pty: the receive ring overran %lu time(s); received bytes were lost\n",
                 overruns);
    return 1;
  }
  return logFailed ? 1 : 0;
}

}  // namespace zor
