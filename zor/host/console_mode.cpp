// zor run: the client mode. Its window comes with the GUI; "zor run --console"
// drives the device from the terminal (a line typed is sent with the Send rules
// of the terminal window) or, with standard input a pipe or a file, moves
// bytes raw between standard input and output and the device.
#include "zor/host/device_kinds.h"
#include "zor/host/logged_device.h"
#include "zor/host/os/console.h"
#include "zor/host/os/stop_signal.h"
#include "zor/host/output_pump.h"
#include "zor/host/port_options.h"
#include "zor/host/window_mode.h"

#include <zor/app.h>
#include <zor/device.h>
#include <zor/fdwait.h>
#include <zor/monitor.h>
#include <zor/settings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zor {
namespace {

constexpr unsigned long kRingSize = 8192;  // openSelectedDevice's rings
// Bytes handed to the device and not yet read back, at most: the receive ring
// never fills while the loop keeps up.
constexpr unsigned long kInFlight = 4096;
constexpr DWORD kSlice = 50;  // longest wait between two looks at a stop signal

struct ConsoleOptions {
  int view = -1;         // -1: the "Monitor view" setting
  const char* eol = "";  // appended to a line sent in ASCII view
  long idleMs = 1000;
  long timeoutS = 0;  // 0: none
  const char* log = nullptr;
};

// Received bytes as the terminal shows them: hex "41 42 0D", dec "65 66 13",
// ASCII with control bytes escaped ("\r", "\n", "\t", "\\", "\xNN").
// breakLines: a screen line break after each escaped line feed.
std::string render(int view, const unsigned char* data, unsigned long n, bool breakLines = false) {
  std::string out;
  char buf[8];
  for (unsigned long i = 0; i < n; ++i) {
    const unsigned b = data[i];
    if (view == 1 || view == 0) {
      if (!out.empty()) out += ' ';
      std::snprintf(buf, sizeof buf, view == 1 ? "%02X" : "%u", b);
      out += buf;
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += breakLines ? "\\n\n" : "\\n";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    }
  }
  return out;
}

// How a console session ended.
enum class End { Done, Stopped, OutputFailed, LogFailed };

class Console {
public:
  Console(CDevice& device, const ConsoleOptions& o)
      : m_dev(device), m_o(o), m_deadline(Clock::now() + std::chrono::seconds(o.timeoutS)) {}

  // A steady clock of 64 bits: a time-out of a year neither wraps nor overflows.
  bool timedOut() const { return m_o.timeoutS > 0 && Clock::now() >= m_deadline; }
  DWORD timeLeft(DWORD wait) const {
    if (m_o.timeoutS <= 0) return wait;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(wait, left));
  }
  // The traffic log was being written and its file failed (the monitor said so).
  bool logFailed() const { return m_o.log != nullptr && !m_dev.Monitor()->IsLogToFile(); }
  int outputError() const { return m_outputError; }

  // Waits up to ms for received data or, when asked, for standard input.
  void wait(bool forInput, DWORD ms) {
    HANDLE ready = m_dev.DataReadyEvent();
    if (forInput && !m_in.alwaysReady() && ready != nullptr) {
      if (WaitForMultipleObjectsOrReadable(1, &ready, m_in.fd(), ms) == WAIT_FAILED) m_in.setAlwaysReady();
    } else if (ready != nullptr) {
      WaitForSingleObject(ready, ms);
    } else {
      Sleep(ms);
    }
  }

  // Standard input a pipe or a file: raw bytes both ways until idle.
  End runRaw() {
    unsigned char in[4096], out[4096];
    OutputPump pump;
    auto stopped = [&] { return waitStopSignal(0) != 0 || timedOut(); };
    bool inputOpen = true;
    DWORD lastActivity = GetTickCount();
    DWORD lastReceived = lastActivity;
    unsigned long lastTx = 0;
    // Bytes sent that may still come back: a device that echoes (the
    // loopback) holds them in a queue no ring counts, and would hand them to
    // the receive ring faster than any reader takes them. Once nothing came
    // for a while with the transmit ring empty, nothing sent is in flight.
    long long written = 0, received = 0, settled = 0;
    const DWORD quietMs = std::max<DWORD>(20, 2 * static_cast<DWORD>(theApp.m_threadGranularity));
    for (;;) {
      if (stopped()) return End::Stopped;
      if (logFailed()) return End::LogFailed;
      bool moved = false;
      const std::size_t room = pump.room();
      if (room == 0 && (m_outputError = pump.error()) != 0) return End::OutputFailed;
      unsigned long n =
          room == 0 ? 0 : m_dev.ReadBuffer(out, static_cast<unsigned long>(std::min(sizeof out, room)));
      if (n > 0) {
        pump.push(out, n);
        moved = true;
        received += n;
        lastReceived = GetTickCount();
      }
      const unsigned long tx = m_dev.GetTxBufferCount();
      if (tx < lastTx) moved = true;  // bytes left for the medium
      lastTx = tx;
      if (tx == 0 && GetTickCount() - lastReceived >= quietMs) settled = written - received;
      if (written - received - settled < 0) settled = written - received;
      bool waitInput = false;
      if (inputOpen) {
        const unsigned long busy = tx + m_dev.GetRxBufferCount();
        const long long flying = written - received - settled;
        if (busy < kInFlight && flying < static_cast<long long>(kInFlight) && room > 0) {
          bool failed = false;
          const unsigned long room =
              std::min<unsigned long>(kInFlight - busy, kInFlight - static_cast<unsigned long>(flying));
          long got = m_in.readNow(in, std::min<unsigned long>(sizeof in, room), &failed);
          if (got > 0) {
            m_dev.WriteBuffer(in, static_cast<unsigned long>(got));
            written += got;
            lastTx = m_dev.GetTxBufferCount();
            moved = true;
          } else if (got == 0) {
            inputOpen = false;
          } else {
            waitInput = true;
          }
        }
      }
      const DWORD now = GetTickCount();
      if (moved) {
        lastActivity = now;
        continue;
      }
      // Output still being written is no idleness of the link.
      const bool writing = pump.backlog() > 0;
      if (writing) lastActivity = now;
      const DWORD idle = static_cast<DWORD>(m_o.idleMs);
      if (now - lastActivity >= idle) {
        if (pump.drain(stopped)) return End::Done;
        m_outputError = pump.error();
        return m_outputError != 0 ? End::OutputFailed : End::Stopped;
      }
      DWORD ms = std::min<DWORD>(kSlice, idle - (now - lastActivity));
      if (room == 0) {
        pump.waitForRoom(timeLeft(ms));  // the device's bytes wait in its ring meanwhile
        continue;
      }
      if (tx > 0 || writing) ms = std::min<DWORD>(ms, 5);  // watch the rings drain
      wait(waitInput, timeLeft(ms));
    }
  }

  // Standard input a terminal: a line editor; Enter sends the line. Null
  // when the terminal cannot be put in raw mode.
  std::optional<End> runInteractive(const char* deviceName) {
    RawTerminal raw;
    if (!raw.active()) return std::nullopt;
    std::fprintf(stderr,
                 "zor run: %s open, %s view; type a line and Enter to send it, Ctrl-D or Ctrl-C ends\n",
                 deviceName,
                 m_view == 0   ? "decimal"
                 : m_view == 1 ? "hexadecimal"
                               : "ASCII");
    write("> ");
    unsigned char buf[4096];
    bool done = false;
    End end = End::Done;
    while (!done && m_outputError == 0) {
      if (waitStopSignal(0) != 0 || timedOut()) {
        end = End::Stopped;
        break;
      }
      if (logFailed()) {
        end = End::LogFailed;
        break;
      }
      unsigned long n = m_dev.ReadBuffer(buf, sizeof buf);
      if (n > 0) showReceived(buf, n);
      bool failed = false;
      long got = m_in.readNow(buf, sizeof buf, &failed);
      if (got == 0) break;  // the terminal went away
      for (long i = 0; i < got && !done; ++i) done = typed(buf[i]);
      if (got < 0 && n == 0) wait(true, timeLeft(kSlice));
    }
    write("\n");
    raw.restore();
    return m_outputError != 0 ? End::OutputFailed : end;
  }

  void setView(int view) { m_view = view; }

private:
  void showReceived(const unsigned char* data, unsigned long n) {
    std::string text = "\r\x1b[K";
    text += render(m_view, data, n, true);
    if (text.back() != '\n') text += '\n';
    text += "> " + m_line;
    write(text);
  }

  // One byte typed; true when it ends the session.
  bool typed(unsigned char c) {
    if (m_escape > 0) {
      // An escape sequence (arrow keys ...): skipped up to its final byte.
      if (m_escape == 1 && c != '[' && c != 'O') {
        m_escape = 0;
      } else if (m_escape == 1) {
        m_escape = 2;
      } else if (c >= 0x40 && c <= 0x7E) {
        m_escape = 0;
      }
      return false;
    }
    switch (c) {
      case 0x03:  // Ctrl-C
      case 0x04:  // Ctrl-D
        return true;
      case '\r':
      case '\n': {
        write("\n");
        sendText(m_dev, m_line.c_str(), m_view);
        if (m_view == 2)
          for (const char* e = m_o.eol; *e != '\0'; ++e) m_dev.WriteByte(static_cast<unsigned char>(*e));
        m_line.clear();
        write("> ");
        return false;
      }
      case 0x7F:
      case 0x08:
        if (!m_line.empty()) {
          m_line.pop_back();
          write("\b \b");
        }
        return false;
      case 0x15:  // Ctrl-U
        m_line.clear();
        write("\r\x1b[K> ");
        return false;
      case 0x1B:
        m_escape = 1;
        return false;
      default:
        if (c >= 0x20 || c == '\t') {
          m_line += static_cast<char>(c);
          write(std::string(1, static_cast<char>(c)));
        }
        return false;
    }
  }

  // False once standard output failed; the session then ends.
  bool write(const std::string& text) {
    if (m_outputError != 0) return false;
    if (!m_out.write(text.data(), text.size())) m_outputError = m_out.error() != 0 ? m_out.error() : EIO;
    return m_outputError == 0;
  }

  using Clock = std::chrono::steady_clock;
  CDevice& m_dev;
  const ConsoleOptions& m_o;
  const Clock::time_point m_deadline;
  StandardInput m_in;
  StandardOutput m_out;
  int m_outputError = 0;
  int m_view = 0;
  std::string m_line;
  int m_escape = 0;
};

}  // namespace

int runClientMode(int argc, char** argv) {
  bool console = false;
  ConsoleOptions o;
  PortChoice choice;
  for (int i = 2; i < argc; ++i) {
    int taken = takePortOption("run", argc, argv, i, choice);
    if (taken < 0) return 2;
    if (taken > 0) continue;
    const char* a = argv[i];
    if (std::strcmp(a, "--console") == 0) {
      console = true;
      continue;
    }
    const bool valued = std::strcmp(a, "--view") == 0 || std::strcmp(a, "--eol") == 0 ||
                        std::strcmp(a, "--idle-ms") == 0 || std::strcmp(a, "--timeout-s") == 0 ||
                        std::strcmp(a, "--log") == 0;
    if (!valued) {
      std::fprintf(stderr, "zor run: unknown option \"%s\"; try zor run --help\n", a);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "zor run: %s needs a value; try zor run --help\n", a);
      return 2;
    }
    const char* v = argv[++i];
    if (std::strcmp(a, "--view") == 0) {
      o.view = std::strcmp(v, "dec") == 0     ? 0
               : std::strcmp(v, "hex") == 0   ? 1
               : std::strcmp(v, "ascii") == 0 ? 2
                                              : -2;
      if (o.view == -2) {
        std::fprintf(stderr, "zor run: --view \"%s\" is no view; give dec, hex or ascii\n", v);
        return 2;
      }
    } else if (std::strcmp(a, "--eol") == 0) {
      if (std::strcmp(v, "none") == 0)
        o.eol = "";
      else if (std::strcmp(v, "cr") == 0)
        o.eol = "\r";
      else if (std::strcmp(v, "lf") == 0)
        o.eol = "\n";
      else if (std::strcmp(v, "crlf") == 0)
        o.eol = "\r\n";
      else {
        std::fprintf(stderr, "zor run: --eol \"%s\" is no line end; give none, cr, lf or crlf\n", v);
        return 2;
      }
    } else if (std::strcmp(a, "--idle-ms") == 0 || std::strcmp(a, "--timeout-s") == 0) {
      long n = wholeNumber(v, 1000000000L);
      const bool idle = a[2] == 'i';
      if (n < (idle ? 0 : 1) || n > (idle ? 86400000L : 31536000L)) {
        std::fprintf(stderr,
                     "zor run: %s \"%s\" is not a whole number of %s from %d to %ld; give one such as %s\n",
                     a, v, idle ? "milliseconds" : "seconds", idle ? 0 : 1, idle ? 86400000L : 31536000L,
                     idle ? "200" : "10");
        return 2;
      }
      (idle ? o.idleMs : o.timeoutS) = n;
    } else {
      o.log = v;
    }
  }
  if (!console) {
    if (choice.any()) {
      std::fprintf(stderr, "zor run: the port options go with --console; the window asks for the port\n");
      return 2;
    }
    return runWindowMode("run");
  }

  // The stored choice, or the options' for this run only: nothing of this
  // run reaches the settings file (the monitor's options included).
  CIni::KeepFileUnchanged();
  CRunZorSettings settings(false);
  if (choice.any() && !applyPortChoice("run", choice, settings)) return 2;
  const int view = o.view >= 0 ? o.view : theApp.m_monitorView;
  if (view < 0 || view > 2) {
    std::fprintf(stderr, "zor run: \"Monitor view\" is %d, no view; give --view dec, hex or ascii\n", view);
    return 2;
  }
  if (const int status = prepareTrafficLog("run", settings, o.log)) return status;
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor run: cannot watch for SIGINT, SIGTERM and SIGHUP\n");
    return 1;
  }

  char name[64];
  std::unique_ptr<CDevice> device = openLoggedDevice("run", settings, o.log, name, sizeof name);
  if (!device) return 1;

  Console c(*device, o);
  c.setView(view);
  std::optional<End> end = standardInputIsTerminal() ? c.runInteractive(name) : c.runRaw();
  device->CloseDevice();
  if (!end) {
    std::fprintf(stderr, "zor run: cannot put the terminal in raw mode; pipe the bytes in instead\n");
    return 1;
  }
  // The last records reach the log as the device closes.
  if (*end != End::OutputFailed && c.logFailed()) end = End::LogFailed;
  if (*end == End::OutputFailed) {
    std::fprintf(stderr, "zor run: standard output failed (%s); what the device sent after that is lost\n",
                 errorText(c.outputError()));
    return 1;
  }
  // A lost byte must not pass for a clean run.
  if (const unsigned long overruns = device->GetRxOverrunCount()) {
    std::fprintf(stderr, "zor run: the receive ring overran %lu time(s); received bytes were lost\n",
                 overruns);
    return 1;
  }
  // The monitor has said in one line that the log failed.
  return *end == End::LogFailed ? 1 : 0;
}

}  // namespace zor
