// zor remote and zor server: serve the device of the stored connection
// settings to one client, over TCP or over the local pipes, in the server
// window; "--headless" serves until SIGINT or SIGTERM and prints one line
// whenever a client connects or leaves.
#include <zor/devnet.h>
#include <zor/devtcp.h>
#include <zor/host.h>

#include "zor/host/window_mode.h"
#include "zor/platform/local_pipe.h"
#include "zor/platform/stop_signal.h"
#include "zor/remote/intranetserver.h"
#include "zor/remote/remoteserver.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace zor {
namespace {

struct RelayMode {
  const char* name;  // "remote", "server"
  bool canBind;      // --bind ADDR: the TCP server's listening address
};

// Parses the mode's options; 0 to go on, -1 for the window, else the exit status.
int parseOptions(const RelayMode& mode, int argc, char** argv, const char*& bindTo) {
  bool headless = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (mode.canBind && std::strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
      bindTo = argv[++i];
    } else {
      std::fprintf(stderr, "zor %s: unknown option \"%s\"; try zor --help\n", mode.name, argv[i]);
      return 2;
    }
  }
  if (!headless) {
    if (bindTo != nullptr) {
      std::fprintf(stderr, "zor %s: --bind goes with --headless; the window listens on all addresses\n",
                   mode.name);
      return 2;
    }
    return -1;
  }
  return 0;
}

// Opens the selected device, starts the server on it and serves until a stop
// signal. start returns false with its own message on standard error.
int serve(const RelayMode& mode, const std::function<std::unique_ptr<CRelayServer>(CDevice*, HWND)>& make,
          const std::function<bool(CRelayServer&)>& start, const std::string& where) {
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor %s: cannot watch for SIGINT and SIGTERM\n", mode.name);
    return 1;
  }
  // Every device a server serves opens without blocking (ttys and logs are
  // opened non-blocking), so a stop signal is looked at again right after.
  CRunZorSettings settings(true);
  char name[64];
  selectedDeviceName(settings, name, sizeof name);
  std::unique_ptr<CDevice> device(openSelectedDevice(settings));
  if (!device) {
    std::fprintf(stderr, "zor %s: cannot open the selected device (%s)\n", mode.name, name);
    return 1;
  }

  MessageQueue queue;
  std::unique_ptr<CRelayServer> server = make(device.get(), &queue);
  if (!server || !start(*server)) {
    device->CloseDevice();
    return 1;
  }
  std::fprintf(stderr, "zor %s: serving %s on %s (%s); stop with Ctrl-C\n", mode.name, name,
               server->hostName().c_str(), where.c_str());

  std::string peer;
  while (waitStopSignal(0) == 0) {
    MSG m;
    if (!queue.get(m, 100) || m.message != CRelayServer::WM_PIPE_STATE) continue;
    if (m.wParam == 1) {
      peer = server->lastPeerAddress();
      std::printf("%s connected\n", peer.c_str());
    } else {
      std::printf("%s left\n", peer.c_str());
    }
    std::fflush(stdout);
  }
  server->Stop();
  device->CloseDevice();
  std::fprintf(stderr, "zor %s: stopped\n", mode.name);
  return 0;
}

}  // namespace

int runRemoteMode(int argc, char** argv) {
  const RelayMode mode{"remote", true};
  const char* bindTo = nullptr;
  if (int status = parseOptions(mode, argc, argv, bindTo))
    return status < 0 ? runWindowMode(mode.name) : status;
  std::uint32_t address = kAnyAddress;
  if (bindTo != nullptr) {
    address = parseIpv4(bindTo);
    if (address == kNoAddress) {
      std::fprintf(stderr,
                   "zor remote: \"%s\" is not an IPv4 address; give --bind the dotted address of one of this "
                   "computer's interfaces, such as 127.0.0.1, or leave it out to listen on all\n",
                   bindTo);
      return 2;
    }
  }
  const std::string where = std::string(bindTo != nullptr ? bindTo : "all addresses") + ", port " +
                            std::to_string(CDevTcp::TCP_PORT);
  return serve(
      mode, [](CDevice* d, HWND n) { return std::make_unique<CRemoteServer>(d, n); },
      [&](CRelayServer& server) {
        if (static_cast<CRemoteServer&>(server).Start(CDevTcp::TCP_PORT, address)) return true;
        std::fprintf(
            stderr,
            "zor remote: * Server error! * cannot listen on %s: stop the program that holds the port, "
            "or give --bind an address of this computer\n",
            where.c_str());
        return false;
      },
      where);
}

int runServerMode(int argc, char** argv) {
  const RelayMode mode{"server", false};
  const char* unused = nullptr;
  if (int status = parseOptions(mode, argc, argv, unused))
    return status < 0 ? runWindowMode(mode.name) : status;
  const std::string where = pipeFolder() + "/" + CDevNet::ZOR_NETPIPE + "_IN and _OUT";
  return serve(
      mode, [](CDevice* d, HWND n) { return std::make_unique<CIntranetServer>(d, n); },
      [&](CRelayServer& server) {
        if (static_cast<CIntranetServer&>(server).Start()) return true;
        std::fprintf(
            stderr,
            "zor server: * Server error! * cannot make the local pipes %s: stop the other server that "
            "has them, or give it a pipe folder of its own with ZOR_PIPE_DIR\n",
            where.c_str());
        return false;
      },
      where);
}

}  // namespace zor
