// zor remote and zor server: serve the device of the stored connection
// settings to one client, over TCP (our own protocol, a network serial port or
// raw bytes) or over the local pipes, in the server window; "--headless" serves until SIGINT or SIGTERM and
// prints one line whenever a client connects or leaves.
#include <zor/devnet.h>
#include <zor/devtcp.h>
#include <zor/host.h>

#include "zor/host/os/stop_signal.h"
#include "zor/host/window_mode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace zor {
namespace {

struct RelayMode {
  const char* name;  // "remote", "server"
  bool canBind;      // --bind ADDR, --protocol, --listen-port: the TCP server's options
};

struct RelayOptions {
  const char* bindTo = nullptr;
  CHostServer::Kind kind = CHostServer::REMOTE;
  const char* protocol = "zor";
  int port = CDevTcp::TCP_PORT;
  bool portGiven = false;
};

// The protocol named after --protocol; false for another name.
bool protocolKind(const char* name, CHostServer::Kind& kind) {
  if (std::strcmp(name, "zor") == 0)
    kind = CHostServer::REMOTE;
  else if (std::strcmp(name, "rfc2217") == 0)
    kind = CHostServer::RFC2217;
  else if (std::strcmp(name, "raw") == 0)
    kind = CHostServer::RAW;
  else
    return false;
  return true;
}

// Parses the mode's options; 0 to go on, -1 for the window, else the exit status.
int parseOptions(const RelayMode& mode, int argc, char** argv, RelayOptions& options) {
  bool headless = false;
  for (int i = 2; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (mode.canBind && std::strcmp(argv[i], "--bind") == 0 && hasValue) {
      options.bindTo = argv[++i];
    } else if (mode.canBind && std::strcmp(argv[i], "--protocol") == 0 && hasValue) {
      options.protocol = argv[++i];
      if (!protocolKind(options.protocol, options.kind)) {
        std::fprintf(stderr, "zor %s: unknown protocol \"%s\"; give zor, rfc2217 or raw\n", mode.name,
                     options.protocol);
        return 2;
      }
    } else if (mode.canBind && std::strcmp(argv[i], "--listen-port") == 0 && hasValue) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "zor %s: --listen-port takes a port number from 1 to 65535, not \"%s\"\n",
                     mode.name, argv[i]);
        return 2;
      }
      options.port = static_cast<int>(port);
      options.portGiven = true;
    } else {
      std::fprintf(stderr, "zor %s: unknown option \"%s\"; try zor --help\n", mode.name, argv[i]);
      return 2;
    }
  }
  if (!headless) {
    if (options.bindTo != nullptr || options.portGiven) {
      std::fprintf(
          stderr,
          "zor %s: --bind and --listen-port go with --headless; the window listens on all addresses\n",
          mode.name);
      return 2;
    }
    return -1;
  }
  return 0;
}

// Opens the selected device, starts the server on it and serves until a stop
// signal. start returns false with its own message on standard error.
int serve(const RelayMode& mode, CHostServer::Kind kind, const std::function<bool(CHostServer&)>& start,
          const std::string& where) {
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
  auto server = std::make_unique<CHostServer>(kind, device.get(), &queue);
  if (!start(*server)) {
    device->CloseDevice();
    return 1;
  }
  std::fprintf(stderr, "zor %s: serving %s on %s (%s); stop with Ctrl-C\n", mode.name, name,
               server->hostName().c_str(), where.c_str());

  std::string peer;
  while (waitStopSignal(0) == 0) {
    MSG m;
    if (!queue.get(m, 100) || m.message != CHostServer::WM_PIPE_STATE) continue;
    if (m.wParam == CHostServer::LINK_CONNECTED) {
      peer = server->lastPeerAddress();
      std::printf("%s connected\n", peer.c_str());
    } else if (m.wParam == CHostServer::LINK_DROPPED) {
      std::string stranger = server->lastPeerAddress();
      if (kind == CHostServer::RFC2217 || kind == CHostServer::RAW) {
        std::printf("%s turned away: %s is being served\n", stranger.empty() ? "a client" : stranger.c_str(),
                    peer.c_str());
      } else {
        std::printf("%s dropped: it opened one of the two pipes only\n",
                    stranger.empty() ? "a client" : stranger.c_str());
      }
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

// Why the intranet server could not make its pipes "<base>_IN" and "_OUT", and what to do.
std::string pipeRefusal(DWORD error, const std::string& base) {
  namespace fs = std::filesystem;
  const std::string ownFolder = "give the server a pipe folder of its own with ZOR_PIPE_DIR";
  switch (error) {
    case ERROR_PIPE_BUSY:
      return "another server has them; stop it, or " + ownFolder;
    case ERROR_FILENAME_EXCED_RANGE:
      return "the path " + base + "_OUT is too long for a local socket (" + std::to_string(base.size() + 4) +
             " bytes, at most " + std::to_string(CHostServer::LongestPipePath()) +
             "); give ZOR_PIPE_DIR a shorter folder";
    case ERROR_FILE_EXISTS:
      for (const char* suffix : {"_IN", "_OUT"}) {
        std::error_code ec;
        fs::file_status pipe = fs::symlink_status(base + suffix, ec);
        fs::file_status lock = fs::symlink_status(base + suffix + ".lock", ec);
        std::string inWay;
        if (fs::exists(pipe) && !fs::is_socket(pipe))
          inWay = base + suffix;
        else if (fs::exists(lock) && !fs::is_regular_file(lock))
          inWay = base + suffix + ".lock";
        if (!inWay.empty())
          return inWay + " is in the way and is no pipe of a server; move it away, or " + ownFolder;
      }
      return "a file that is no pipe is in the way; move it away, or " + ownFolder;
    case ERROR_ACCESS_DENIED:
    case ERROR_PATH_NOT_FOUND:
      return "the pipe folder is refused (the line above says why)";
    default:
      return "error " + std::to_string(error) + "; " + ownFolder;
  }
}

}  // namespace

int runRemoteMode(int argc, char** argv) {
  const RelayMode mode{"remote", true};
  RelayOptions options;
  if (int status = parseOptions(mode, argc, argv, options))
    return status < 0 ? runWindowMode(mode.name, options.protocol) : status;
  const char* bindTo = options.bindTo;
  if (bindTo != nullptr) {
    if (!CHostServer::IsIPv4Address(bindTo)) {
      std::fprintf(stderr,
                   "zor remote: \"%s\" is not an IPv4 address; give --bind the dotted address of one of this "
                   "computer's interfaces, such as 127.0.0.1, or leave it out to listen on all\n",
                   bindTo);
      return 2;
    }
  }
  const std::string where = std::string(bindTo != nullptr ? bindTo : "all addresses") + ", port " +
                            std::to_string(options.port) +
                            (options.kind == CHostServer::REMOTE ? "" : std::string(", ") + options.protocol);
  return serve(
      mode, options.kind,
      [&](CHostServer& server) {
        if (server.Start(bindTo, options.port)) return true;
        std::fprintf(
            stderr,
            "zor remote: * Server error! * cannot listen on %s: stop the program that holds the port, "
            "give --listen-port another port, or give --bind an address of this computer\n",
            where.c_str());
        return false;
      },
      where);
}

int runServerMode(int argc, char** argv) {
  const RelayMode mode{"server", false};
  RelayOptions unused;
  if (int status = parseOptions(mode, argc, argv, unused))
    return status < 0 ? runWindowMode(mode.name) : status;
  std::string problem;
  const std::string folder = CHostServer::PipeFolder(problem);
  if (folder.empty()) {
    std::fprintf(stderr, "zor server: * Server error! * %s\n", problem.c_str());
    return 1;
  }
  const std::string base = folder + "/" + CDevNet::ZOR_NETPIPE;
  const std::string where = base + "_IN and _OUT";
  return serve(
      mode, CHostServer::INTRANET,
      [&](CHostServer& server) {
        if (server.Start()) return true;
        std::string why = pipeRefusal(GetLastError(), base);
        std::fprintf(stderr, "zor server: * Server error! * cannot make the local pipes %s: %s\n",
                     where.c_str(), why.c_str());
        return false;
      },
      where);
}

}  // namespace zor
