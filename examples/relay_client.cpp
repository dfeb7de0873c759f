// The client of a relay server: reaches the device another zor program
// serves, over the local pipes (zor server) or over TCP (zor remote), sends
// each line of standard input and prints whatever the device sends back.
//   zor server --headless &   then   printf 'ping\n' | relay_client --pipe
//   relay_client --tcp lab-pc < queries.txt
#include <zor/zor.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

const char kUsage[] =
    "usage: relay_client (--pipe | --tcp HOST) [--idle-ms N]\n"
    "  --pipe      the intranet server on this computer (zor server)\n"
    "  --tcp HOST  the remote server on HOST, a name or an address (zor remote)\n"
    "  Sends each line of standard input with its newline and prints what comes back;\n"
    "  at the end of input waits until nothing came for --idle-ms (default 500).\n"
    "  Exit status: 0 done, 1 no server or the link failed, 2 a wrong command line.\n";

int usageError(const char* what) {
  std::fprintf(stderr, "relay_client: %s; try relay_client --help\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<zor::CDevice> device;
  bool pipe = false;
  const char* host = nullptr;
  unsigned long idleMs = 500;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--pipe") {
      pipe = true;
    } else if ((a == "--tcp" || a == "--idle-ms") && i + 1 >= argc) {
      return usageError((a + " needs a value").c_str());
    } else if (a == "--tcp") {
      host = argv[++i];
    } else if (a == "--idle-ms") {
      char* end = nullptr;
      idleMs = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || idleMs == 0 || idleMs > 600000) return usageError("--idle-ms takes 1 to 600000 ms");
    } else {
      return usageError(("unknown argument \"" + a + "\"").c_str());
    }
  }
  if (pipe == (host != nullptr)) return usageError("give either --pipe or --tcp HOST");

  // Both client devices open like any other; the rest of the program does
  // not know which it has. The error is read before a failed device is
  // destroyed, which sets errors of its own.
  unsigned long error = 0;
  if (pipe) {
    auto net = std::make_unique<zor::CDevNet>(".");
    if (net->OpenDevice(0, 8192, 8192))
      device = std::move(net);
    else
      error = zor::GetLastError();
  } else {
    auto tcp = std::make_unique<zor::CDevTcp>(host);
    if (tcp->OpenDevice(0, 8192, 8192))
      device = std::move(tcp);
    else
      error = zor::GetLastError();
  }
  if (!device) {
    // 2: no pipes of a server; 10061: nothing listens on the port; 231: a client is being served.
    const char* why = error == 2 || error == 10061 ? "no server runs there; start it with --headless"
                      : error == 231               ? "the server already serves a client"
                                                   : "is the server running and reachable?";
    std::fprintf(stderr, "relay_client: cannot reach zor %s (error %lu: %s)\n", pipe ? "server" : "remote",
                 error, why);
    return 1;
  }

  // Answers may come at any time, not only after a line: one thread prints
  // them as they arrive while this one reads standard input.
  std::atomic<bool> stop{false};
  std::atomic<unsigned long> lastByte{zor::GetTickCount()};
  std::thread printer([&] {
    unsigned char buf[1024];
    while (!stop) {
      // The event is null while a broken link is being reopened: wait a slice then.
      if (zor::WaitForSingleObject(device->DataReadyEvent(), 100) == zor::WAIT_FAILED) zor::Sleep(100);
      for (unsigned long n; (n = device->ReadBuffer(buf, sizeof buf)) > 0;) {
        std::fwrite(buf, 1, n, stdout);
        lastByte = zor::GetTickCount();
      }
      std::fflush(stdout);
    }
  });

  int status = 0;
  for (std::string line; status == 0 && std::getline(std::cin, line);) {
    line += '\n';
    lastByte = zor::GetTickCount();
    if (!device->WriteBuffer(reinterpret_cast<const unsigned char*>(line.data()), line.size())) {
      std::fprintf(stderr, "relay_client: the server did not take the line in time\n");
      status = 1;
    }
  }
  // The last answers are still on their way when the input ends; a server
  // that never falls silent is left after ten minutes.
  for (int i = 0; i < 60000 && zor::GetTickCount() - lastByte < idleMs; ++i) zor::Sleep(10);
  stop = true;
  printer.join();
  device->CloseDevice();
  return status;
}
