// Sends one query line to an instrument on a serial port and prints its
// answer line: the usual first program against a new instrument.
//   serial_query COM3 '*IDN?'
//   serial_query --baud 9600 --frame 7E1 /dev/ttyS0 'MEAS:VOLT?'
#include <zor/zor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: serial_query [--baud N] [--frame 8N1] [--rtscts] [--timeout-ms N] [--eol lf|cr|crlf] PORT QUERY\n"
    "  PORT: COMn, n, or /dev/ttyS<n-1>; another tty is reached as COMn through a link\n"
    "        ports/COMn beside the settings file (ln -s /dev/ttyUSB0 ~/.config/zor/ports/COM5).\n"
    "  Sends QUERY and the end of line (default lf), prints the answer up to its newline.\n"
    "  Exit status: 0 answered, 1 no answer or the port failed, 2 a wrong command line.\n";

int usageError(const std::string& what) {
  std::fprintf(stderr, "serial_query: %s; try serial_query --help\n", what.c_str());
  return 2;
}

// A positive whole number, else 0.
unsigned long positive(const char* text) {
  char* end = nullptr;
  unsigned long n = std::strtoul(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0' && n <= 10000000 ? n : 0;
}

// The library opens ports by number; /dev/ttyS<k> is COM<k+1> unless a link says otherwise.
int portNumberOf(const std::string& port) {
  if (port.rfind("/dev/ttyS", 0) != 0)
    return static_cast<int>(positive(&port[port.rfind("COM", 0) == 0 || port.rfind("com", 0) == 0 ? 3 : 0]));
  unsigned long n = positive(&port[9]);
  return n > 0 || port == "/dev/ttyS0" ? static_cast<int>(n + 1) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long baud = 115200;
  const char* frame = "8N1";
  const char* eol = "\n";
  bool rtscts = false;
  unsigned long timeoutMs = 2000;
  const char* args[2] = {};
  int given = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool needsValue = a == "--baud" || a == "--frame" || a == "--timeout-ms" || a == "--eol";
    if (needsValue && i + 1 >= argc) return usageError(a + " needs a value");
    const std::string value = needsValue ? argv[++i] : "";
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--rtscts") {
      rtscts = true;
    } else if (a == "--baud") {
      if ((baud = positive(value.c_str())) == 0)
        return usageError("--baud \"" + value + "\" is no baud rate");
    } else if (a == "--frame") {
      frame = argv[i];
      if (value.size() != 3 || value[0] < '5' || value[0] > '8' || !std::strchr("NnEeOoMmSs", value[1]) ||
          (value[2] != '1' && value[2] != '2'))
        return usageError("--frame \"" + value + "\" is not data bits 5-8, parity N/E/O/M/S, stop bits 1|2");
    } else if (a == "--timeout-ms") {
      if ((timeoutMs = positive(value.c_str())) == 0)
        return usageError("--timeout-ms \"" + value + "\" is no time");
    } else if (a == "--eol") {
      eol = value == "lf" ? "\n" : value == "cr" ? "\r" : value == "crlf" ? "\r\n" : nullptr;
      if (eol == nullptr) return usageError("--eol is lf, cr or crlf, not \"" + value + "\"");
    } else if (a.rfind("--", 0) == 0 || given == 2) {
      return usageError("unexpected \"" + a + "\" (one port, one query: quote it)");
    } else {
      args[given++] = argv[i];
    }
  }
  if (given < 2) return usageError("give a port and a query");
  int port = portNumberOf(args[0]);
  if (port <= 0)
    return usageError(std::string("\"") + args[0] +
                      "\" is no port: give COMn or /dev/ttyS<n-1>, or link a tty as ports/COMn");

  zor::CDevRS232 device;
  // Takes effect at the open: the worker threads start on a line already set up.
  device.DeviceProgram(rtscts, baud, static_cast<unsigned char>(frame[1]),
                       static_cast<unsigned char>(frame[0] - '0'),
                       static_cast<unsigned char>(frame[2] - '0'));
  if (!device.OpenDevice(port, 3, 8192, 8192)) {
    unsigned long error = zor::GetLastError();
    const char* why = error == zor::ERROR_FILE_NOT_FOUND      ? "no such port; zor ports lists them"
                      : error == zor::ERROR_ACCESS_DENIED     ? "no permission; join the dialout group"
                      : error == zor::ERROR_SHARING_VIOLATION ? "in use by another program"
                                                              : "see the line above";
    std::fprintf(stderr, "serial_query: cannot open COM%d (error %lu: %s)\n", port, error, why);
    return 1;
  }

  std::string query = std::string(args[1]) + eol;
  if (!device.WriteBuffer(reinterpret_cast<const unsigned char*>(query.data()), query.size())) {
    std::fprintf(stderr, "serial_query: the query was not sent in time (flow control held it?)\n");
    return 1;
  }

  // Byte by byte, so that the answer ends at its newline and not with whatever follows.
  std::string answer;
  const unsigned long start = zor::GetTickCount();
  while (answer.empty() || answer.back() != '\n') {
    const unsigned long waited = zor::GetTickCount() - start;
    if (waited >= timeoutMs) break;
    if (device.RXQueue())
      answer += static_cast<char>(device.ReadByte());
    else if (zor::WaitForSingleObject(device.DataReadyEvent(), timeoutMs - waited) == zor::WAIT_FAILED)
      zor::Sleep(50);  // the event is null while a failed port is being reopened
  }
  device.CloseDevice();
  const bool gotLine = !answer.empty() && answer.back() == '\n';
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  if (!answer.empty()) std::printf("%s\n", answer.c_str());
  if (gotLine) return 0;
  std::fprintf(stderr, "serial_query: no answer line within %lu ms%s\n", timeoutMs,
               answer.empty() ? "" : " (the part above came)");
  return 1;
}
