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
  const char* bindTo = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
      bindTo = argv[++i];
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
  std::uint32_t address = INADDR_ANY;
  if (bindTo != nullptr) {
    address = inet_addr(bindTo);
    if (address == INADDR_NONE) {
      std::fprintf(stderr,
                   "zor remote: \"%s\" is not an IPv4 address; give --bind the dotted address of one of this "
                   "computer's interfaces, such as 127.0.0.1, or leave it out to listen on all\n",
                   bindTo);
      return 2;
    }
  }
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor remote: cannot watch for SIGINT and SIGTERM\n");
    return 1;
  }

  // Every device a server serves opens without blocking (ttys and logs are
  // opened non-blocking), so a stop signal is looked at again right after.
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
  const char* where = bindTo != nullptr ? bindTo : "all addresses";
  if (!server.Start(CDevTcp::TCP_PORT, address)) {
    std::fprintf(stderr,
                 "zor remote: * Server error! * cannot listen on %s, port %d: stop the program that holds "
                 "the port, or give --bind an address of this computer\n",
                 where, CDevTcp::TCP_PORT);
    device->CloseDevice();
    return 1;
  }
  std::fprintf(stderr, "zor remote: serving %s on %s (%s), port %d; stop with Ctrl-C\n", name,
               server.hostName().c_str(), where, CDevTcp::TCP_PORT);

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
