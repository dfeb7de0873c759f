// zor run: the client mode. Its window comes with the GUI; "zor run --console"
// drives the device from the terminal (a line typed is sent with the Send rules
// of the terminal window) or, with standard input a pipe or a file, moves
// bytes raw between standard input and output and the device.
#include "zor/host/port_options.h"
#include "zor/host/window_mode.h"

#include "zor/platform/console.h"
#include "zor/platform/platform.h"
#include "zor/platform/stop_signal.h"

#include <zor/app.h>
#include <zor/device.h>
#include <zor/monitor.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zor {
namespace {

constexpr unsigned long kRingSize = 8192;  // openSelectedDevice's rings
// Bytes handed to the device and not yet read back, at most: the receive ring
// never fills while the loop keeps up.
constexpr unsigned long kInFlight = 4096;
constexpr DWORD kSlice = 50;  // longest wait between two looks at a stop signal
// Received bytes waiting for standard output, at most, before standard input
// is no longer read: an echoing device's answers then pace what is sent.
constexpr std::size_t kOutputBacklog = 1u << 20;

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

bool write(const std::string& s) { return writeStandardOutput(s.data(), s.size()); }

// Standard output written by a thread of its own, so that a slow reader of
// it never keeps the loop from emptying the device's receive ring (which
// would overrun and lose bytes).
class OutputPump {
public:
  OutputPump() : m_thread([this] { run(); }) {}
  ~OutputPump() { finish(); }

  // False once standard output takes nothing more.
  bool push(const unsigned char* data, unsigned long n) {
    std::lock_guard lock(m_mutex);
    if (m_closed) return false;
    m_pending.append(reinterpret_cast<const char*>(data), n);
    m_cv.notify_all();
    return true;
  }
  std::size_t backlog() {
    std::lock_guard lock(m_mutex);
    return m_pending.size() + m_writing;
  }
  // Writes what is pending, then ends the thread.
  void finish() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
      m_cv.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
  }

private:
  void run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_cv.wait(lock, [&] { return m_stop || !m_pending.empty(); });
      if (m_pending.empty()) return;  // stopped with nothing left
      std::string out;
      out.swap(m_pending);
      m_writing = out.size();
      lock.unlock();
      const bool ok = writeStandardOutput(out.data(), out.size());
      lock.lock();
      m_writing = 0;
      if (!ok) {
        m_closed = true;
        m_pending.clear();
        return;
      }
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_pending;
  std::size_t m_writing = 0;
  bool m_stop = false;
  bool m_closed = false;
  std::thread m_thread;
};

class Console {
public:
  Console(CDevice& device, const ConsoleOptions& o) : m_dev(device), m_o(o), m_start(GetTickCount()) {}

  bool timedOut() const {
    return m_o.timeoutS > 0 && GetTickCount() - m_start >= static_cast<DWORD>(m_o.timeoutS) * 1000u;
  }
  DWORD timeLeft(DWORD wait) const {
    if (m_o.timeoutS <= 0) return wait;
    DWORD limit = static_cast<DWORD>(m_o.timeoutS) * 1000u, used = GetTickCount() - m_start;
    return used >= limit ? 0 : std::min(wait, limit - used);
  }

  // Waits up to ms for received data or, when asked, for standard input.
  void wait(bool forInput, DWORD ms) {
    HANDLE ready = m_dev.DataReadyEvent();
    if (forInput && !m_in.alwaysReady() && ready != nullptr) {
      if (WaitForMultipleObjectsOrInput(1, &ready, m_in.handle(), ms) == WAIT_FAILED) m_in.setAlwaysReady();
    } else if (ready != nullptr) {
      WaitForSingleObject(ready, ms);
    } else {
      Sleep(ms);
    }
  }

  // Standard input a pipe or a file: raw bytes both ways until idle.
  void runRaw() {
    unsigned char in[4096], out[4096];
    OutputPump pump;
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
      if (waitStopSignal(0) != 0 || timedOut()) return;
      bool moved = false;
      unsigned long n = m_dev.ReadBuffer(out, sizeof out);
      if (n > 0) {
        if (!pump.push(out, n)) return;  // nobody reads any more
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
        if (busy < kInFlight && flying < static_cast<long long>(kInFlight) &&
            pump.backlog() < kOutputBacklog) {
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
      if (now - lastActivity >= idle) return;
      DWORD ms = std::min<DWORD>(kSlice, idle - (now - lastActivity));
      if (tx > 0 || writing) ms = std::min<DWORD>(ms, 5);  // watch the rings drain
      wait(waitInput, timeLeft(ms));
    }
  }

  // Standard input a terminal: a line editor; Enter sends the line.
  bool runInteractive(const char* deviceName) {
    RawTerminal raw;
    if (!raw.active()) return false;
    std::fprintf(stderr,
                 "zor run: %s open, %s view; type a line and Enter to send it, Ctrl-D or Ctrl-C ends\n",
                 deviceName,
                 m_view == 0   ? "decimal"
                 : m_view == 1 ? "hexadecimal"
                               : "ASCII");
    write("> ");
    unsigned char buf[4096];
    bool done = false;
    while (!done) {
      if (waitStopSignal(0) != 0 || timedOut()) break;
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
    return true;
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

  CDevice& m_dev;
  const ConsoleOptions& m_o;
  const DWORD m_start;
  StandardInput m_in;
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
        std::fprintf(stderr, "zor run: %s \"%s\" is not a whole number of %s from %d; give one such as %s\n",
                     a, v, idle ? "milliseconds" : "seconds", idle ? 0 : 1, idle ? "200" : "10");
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

  // The stored choice, or the options' for this run only (nothing is written).
  CRunZorSettings settings(false);
  if (choice.any() && !applyPortChoice("run", choice, settings)) return 2;
  if (o.log != nullptr && settings.GetPortIndex() == CRunZorSettings::ENTRY_PLAYBACK) {
    std::fprintf(stderr,
                 "zor run: --log: a playback device replays a log and writes none; leave --log out\n");
    return 2;
  }
  const int view = o.view >= 0 ? o.view : theApp.m_monitorView;
  if (view < 0 || view > 2) {
    std::fprintf(stderr, "zor run: \"Monitor view\" is %d, no view; give --view dec, hex or ascii\n", view);
    return 2;
  }
  if (o.log != nullptr) {
    // For this process only: the log is written in the view the playback
    // device reads, with every sent and received row.
    theApp.m_monitorView = 1;
    theApp.m_filterRX = false;
    theApp.m_filterTX = false;
  }
  if (!watchStopSignals()) {
    std::fprintf(stderr, "zor run: cannot watch for SIGINT and SIGTERM\n");
    return 1;
  }

  char name[64];
  selectedDeviceName(settings, name, sizeof name);
  std::unique_ptr<CDevice> device(openSelectedDevice(settings));
  if (!device) {
    std::fprintf(stderr,
                 "zor run: Error opening the selected port (%s); check the choice with zor settings and the "
                 "serial ports with zor ports\n",
                 name);
    return 1;
  }
  if (o.log != nullptr) {
    device->ShowMonitor();
    if (!device->Monitor()->StartLogFile(o.log)) {
      device->CloseDevice();
      std::fprintf(
          stderr, "zor run: cannot write the traffic log %s; give --log a file that can be written\n", o.log);
      return 1;
    }
  }

  Console c(*device, o);
  c.setView(view);
  bool ok = true;
  if (standardInputIsTerminal())
    ok = c.runInteractive(name);
  else
    c.runRaw();
  device->CloseDevice();
  if (!ok) {
    std::fprintf(stderr, "zor run: cannot put the terminal in raw mode; pipe the bytes in instead\n");
    return 1;
  }
  // A lost byte must not pass for a clean run.
  if (const unsigned long overruns = device->GetRxOverrunCount()) {
    std::fprintf(stderr, "zor run: the receive ring overran %lu time(s); received bytes were lost\n",
                 overruns);
    return 1;
  }
  return 0;
}

}  // namespace zor
