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

int usageError(const char* what, const char* value) {
  std::fprintf(stderr, "serial_query: %s \"%s\"; try serial_query --help\n", what, value);
  return 2;
}

// A positive whole number, else 0.
unsigned long positive(const char* text) {
  char* end = nullptr;
  unsigned long n = std::strtoul(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0' && n <= 10000000 ? n : 0;
}

// The library opens ports by number; /dev/ttyS<k> is COM<k+1> unless a link says otherwise.
int portNumberOf(const char* port) {
  const char* digits = port;
  if (std::strncmp(port, "COM", 3) == 0 || std::strncmp(port, "com", 3) == 0)
    digits = port + 3;
  else if (std::strncmp(port, "/dev/ttyS", 9) == 0)
    digits = port + 9;
  unsigned long n = positive(digits);
  if (n == 0 && std::strcmp(digits, "0") != 0) return 0;
  return static_cast<int>(digits == port + 9 ? n + 1 : n);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long baud = 115200;
  const char* frame = "8N1";
  const char* eol = "\n";
  bool rtscts = false;
  long timeoutMs = 2000;
  const char* args[2] = {};
  int given = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool needsValue = a == "--baud" || a == "--frame" || a == "--timeout-ms" || a == "--eol";
    if (needsValue && i + 1 >= argc) return usageError("a value is missing after", argv[i]);
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--rtscts") {
      rtscts = true;
    } else if (a == "--baud") {
      baud = positive(argv[++i]);
      if (baud == 0) return usageError("no baud rate in", argv[i]);
    } else if (a == "--frame") {
      frame = argv[++i];
      if (std::strlen(frame) != 3 || frame[0] < '5' || frame[0] > '8' ||
          !std::strchr("NnEeOoMmSs", frame[1]) || (frame[2] != '1' && frame[2] != '2'))
        return usageError("a frame is data bits 5-8, parity N/E/O/M/S, stop bits 1 or 2, not", frame);
    } else if (a == "--timeout-ms") {
      timeoutMs = static_cast<long>(positive(argv[++i]));
      if (timeoutMs <= 0) return usageError("no time-out in", argv[i]);
    } else if (a == "--eol") {
      a = argv[++i];
      eol = a == "lf" ? "\n" : a == "cr" ? "\r" : a == "crlf" ? "\r\n" : nullptr;
      if (eol == nullptr) return usageError("the end of line is lf, cr or crlf, not", argv[i]);
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return usageError("unknown option", argv[i]);
    } else if (given < 2) {
      args[given++] = argv[i];
    } else {
      return usageError("one query only; quote it, not", argv[i]);
    }
  }
  if (given < 2) return usageError("give a port and a query, got", given == 0 ? "" : args[0]);
  int port = portNumberOf(args[0]);
  if (port <= 0)
    return usageError("give the port as COMn or /dev/ttyS<n-1> (link another tty as ports/COMn), not",
                      args[0]);

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
    unsigned long waited = zor::GetTickCount() - start;
    if (waited >= static_cast<unsigned long>(timeoutMs)) break;
    if (device.RXQueue()) {
      answer += static_cast<char>(device.ReadByte());
      continue;
    }
    // The event is null while a failed port is being reopened: wait a slice then.
    if (zor::WaitForSingleObject(device.DataReadyEvent(), timeoutMs - waited) == zor::WAIT_FAILED)
      zor::Sleep(50);
  }
  device.CloseDevice();
  const bool gotLine = !answer.empty() && answer.back() == '\n';
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  if (!answer.empty()) std::printf("%s\n", answer.c_str());
  if (gotLine) return 0;
  std::fprintf(stderr, "serial_query: no answer line within %ld ms%s\n", timeoutMs,
               answer.empty() ? "" : " (the part above came)");
  return 1;
}
