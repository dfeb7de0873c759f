// zor remote: serves the device of the stored connection settings to one TCP
// client. Without a window for now: "zor remote --headless" serves until
// SIGINT or SIGTERM and prints one line whenever a client connects or leaves.
#include <zor/devtcp.h>
#include <zor/host.h>

#include "zor/platform/stop_signal.h"
#include "zor/remote/remoteserver.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace zor {

int runRemoteMode(int argc, char** argv) {
  bool headless = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else {
      std::fprintf(stderr, "zor remote: unknown option \"%s\"\n", argv[i]);
      return 2;
    }
  }
  if (!headless) {
    std::fprintf(
        stderr,
        "zor remote: the server window arrives later; \"zor remote --headless\" serves without one\n");
    return 2;
  }
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor remote: cannot watch for SIGINT and SIGTERM\n");
    return 1;
  }

  CRunZorSettings settings(true);
  char name[64];
  selectedDeviceName(settings, name, sizeof name);
  std::unique_ptr<CDevice> device(openSelectedDevice(settings));
  if (!device) {
    std::fprintf(stderr, "zor remote: cannot open the selected device (%s)\n", name);
    return 1;
  }

  MessageQueue queue;
  CRemoteServer server(device.get(), &queue);
  if (!server.Start(CDevTcp::TCP_PORT)) {
    std::fprintf(stderr, "zor remote: * Server error! * (port %d)\n", CDevTcp::TCP_PORT);
    device->CloseDevice();
    return 1;
  }
  std::fprintf(stderr, "zor remote: serving %s on %s, port %d; stop with Ctrl-C\n", name,
               server.hostName().c_str(), CDevTcp::TCP_PORT);

  std::string peer;
  while (waitStopSignal(0) == 0) {
    MSG m;
    if (!queue.get(m, 100) || m.message != CRemoteServer::WM_PIPE_STATE) continue;
    if (m.wParam == 1) {
      peer = server.lastPeerAddress();
      std::printf("%s connected\n", peer.c_str());
    } else {
      std::printf("%s left\n", peer.c_str());
    }
    std::fflush(stdout);
  }
  server.Stop();
  device->CloseDevice();
  std::fprintf(stderr, "zor remote: stopped\n");
  return 0;
}

}  // namespace zor
