// The program's English usage and its version line: "zor --help", "zor <mode>
// --help" and "zor --version". "zor help" keeps its own text (help.cpp).
#include <zor/host.h>

#include "zor/host/device_kinds.h"

#include <zor/app.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace zor {
namespace {

constexpr std::size_t kTextColumn = 21;  // where an option's description starts
constexpr std::size_t kWidth = 90;

// head, then text word by word, a line broken where the next word would pass kWidth.
std::string described(const std::string& head, const std::string& text) {
  std::string out = head;
  std::size_t column = head.size() - (head.rfind('\n') + 1);
  bool lineStart = true;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::size_t length = end - at;
    if (!lineStart && column + 1 + length > kWidth) {
      out += '\n' + std::string(kTextColumn, ' ');
      column = kTextColumn;
      lineStart = true;
    }
    if (!lineStart) {
      out += ' ';
      ++column;
    }
    out.append(text, at, length);
    column += length;
    lineStart = false;
    at = end + 1;
  }
  return out + '\n';
}

std::string option(const char* name, const std::string& text) {
  std::string head = std::string("  ") + name;
  head.resize(std::max(head.size() + 1, kTextColumn), ' ');
  return described(head, text);
}

// "NET, TCP: the server's host name; Playback: ...": the kinds with an
// address, those that read it alike named together.
std::string addressText() {
  std::string out;
  const char* meaning = nullptr;
  for (const DeviceKind& k : deviceKinds()) {
    if (k.addressUsage == nullptr) continue;
    if (meaning != nullptr && std::strcmp(meaning, k.addressUsage) == 0) {
      out += std::string(", ") + k.name;
      continue;
    }
    if (meaning != nullptr) out += std::string(": ") + meaning + "; ";
    out += k.name;
    meaning = k.addressUsage;
  }
  return meaning != nullptr ? out + ": " + meaning : out;
}

// The options that choose a device, shared by "zor settings" and "zor run --console".
std::string portOptions() {
  const auto users = [](CRunZorSettings::Control c) { return kindNames(1u << c, ", ", ", "); };
  std::string rates;
  for (int i = 0; i < CRunZorSettings::BaudRateCount(); ++i)
    rates += " " + std::to_string(CRunZorSettings::BaudRateAt(i));
  const std::string serial = users(CRunZorSettings::CONTROL_SERIAL);
  return "  --port " + kindNames(kAllKinds, "|", "|") +
         "\n"
         "                     the device; choosing one first applies its defaults (the settings\n"
         "                     dialog's \"Defaults\"), then the options below\n" +
         option("--address A", addressText()) + option("--baud N", serial + ":" + rates) +
         described("  --parity N|E|O|M|S --data 5..8 --stop 1|1.5|2      ", serial + ": the frame") +
         option("--rtscts on|off", serial + ": RTS/CTS handshake") +
         described("  --xonxoff on|off --overlapped-rx on|off --overlapped-tx on|off\n" +
                       std::string(kTextColumn, ' '),
                   users(CRunZorSettings::CONTROL_OVERLAPPED) + ": XON/XOFF and overlapped I/O") +
         option("--loopback on|off", users(CRunZorSettings::CONTROL_LOOPBACK) + ": bytes written come back");
}

struct ModeText {
  const char* name;
  const char* text;
  // Set for the modes that take the port options: what follows them.
  const char* afterPortOptions = nullptr;
};

constexpr ModeText kModes[] = {
    {"run",
     "usage: zor run [--console [options]]\n"
     "\n"
     "Client mode: opens the stored device (\"zor settings\"), or the one the options\n"
     "choose for this run only (nothing is stored), and drives it from the terminal.\n"
     "Without --console: the settings dialog, then the monitor and the terminal window,\n"
     "again until the dialog's Exit; that needs a display and libzor-gui.\n"
     "\n"
     "  --console          drive the device from this terminal or from standard input\n"
     "  --view dec|hex|ascii\n"
     "                     how lines typed are read and received bytes shown (default:\n"
     "                     the \"Monitor view\" setting); dec \"65 66 13\", hex \"41 42 0D\",\n"
     "                     ascii \"AB\\r\" with control bytes as \\r \\n \\t \\xNN\n"
     "  --eol none|cr|lf|crlf\n"
     "                     ascii view: what is sent after each line typed (default none)\n"
     "  --idle-ms N        standard input not a terminal: end N ms after the last byte in\n"
     "                     either direction (default 1000)\n"
     "  --timeout-s N      end after N seconds whatever happens (default: no limit)\n"
     "  --log FILE         write the traffic log (the format \"--port Playback\" replays;\n"
     "                     written in the hexadecimal view, every sent and received row)\n",
     "\n"
     "On a terminal each line typed is sent when Enter is pressed, with the rules of the\n"
     "view: dec and hex take one byte per token (\"65 66 300\" sends 41 42 2C, hex \"1 0a FF\"\n"
     "sends 01 0A FF), ascii the characters. Ctrl-D or Ctrl-C ends. With standard input a\n"
     "pipe or file its bytes go to the device as they are and what the device sends goes\n"
     "to standard output as it is:\n"
     "  printf '*IDN?\\n' | zor run --console --port COM3 --idle-ms 200\n"},
    {"server",
     "usage: zor server [--headless]\n"
     "\n"
     "Intranet server: serves the stored device to one CDevNet client over the local\n"
     "pipes ZORPIPE_IN and ZORPIPE_OUT in the pipe folder until Ctrl-C or SIGTERM. A\n"
     "stored NET or TCP choice serves NULL instead. One line is printed when a client\n"
     "connects or leaves.\n"
     "\n"
     "  --headless         serve without a window (without it: the settings dialog,\n"
     "                     then the server window, which needs a display)\n"},
    {"remote",
     "usage: zor remote [--headless [--protocol zor|rfc2217|raw] [--listen-port N] [--bind ADDR]]\n"
     "\n"
     "Remote server: serves the stored device to one TCP client on port 40765 until\n"
     "Ctrl-C or SIGTERM; the server connects back to the client on port 40766. A stored\n"
     "NET, TCP or RFC2217 choice serves NULL instead. One line is printed when a client\n"
     "connects or leaves. The link is neither encrypted nor authenticated: bind to\n"
     "127.0.0.1 and forward the ports over SSH to reach it from elsewhere.\n"
     "\n"
     "  --headless         serve without a window (without it: the settings dialog,\n"
     "                     then the server window, which needs a display)\n"
     "  --protocol P       zor: our own, for the TCP device (the default); rfc2217: a\n"
     "                     network serial port on one connection (Telnet COM-PORT-OPTION:\n"
     "                     python3-serial's rfc2217:// URLs, the RFC2217 device, ser2net's\n"
     "                     clients), the line settings applied to a served serial port;\n"
     "                     raw: the bytes as they are on one connection (nc, a terminal,\n"
     "                     a socket library). A second client is turned away at once\n"
     "  --listen-port N    listen on port N instead of 40765\n"
     "  --bind ADDR        listen on this IPv4 address only (default: all)\n"},
    {"help",
     "usage: zor help\n"
     "\n"
     "Writes the short usage (in Italian) to standard error.\n"},
    {"ports",
     "usage: zor ports [--json]\n"
     "\n"
     "Lists the serial ports the library finds (COM1 up to \"Max COM Port number\", and\n"
     "every ports/COMn link whatever its number), one line each: the COM number, the tty\n"
     "it maps to and, for a USB adapter, vendor:product, serial number, manufacturer and\n"
     "product. COMn is /dev/ttyS<n-1> unless a link ports/COMn beside the settings file\n"
     "names another tty; such ports say so. Links to no usable tty and USB serial\n"
     "adapters that no COM number reaches are listed after them.\n"
     "\n"
     "  --json             the same as a JSON array\n"
     "\n"
     "  ln -s /dev/ttyUSB0 ~/.config/zor/ports/COM5     COM5 is then that adapter\n"},
    {"pty",
     "usage: zor pty [--link PATH] [--log FILE] [options]\n"
     "\n"
     "Opens the stored device (\"zor settings\"), or the one the options choose for this\n"
     "run only, and makes it a pseudo-terminal that any program opens as a serial port.\n"
     "Prints one line with the terminal's path, relays bytes both ways until Ctrl-C or\n"
     "SIGTERM, then removes the link it made. A program may close and reopen the port;\n"
     "its baud rate, odd, mark or space parity, stop bits and RTS/CTS reach a served\n"
     "serial port (a pseudo-terminal keeps 8 data bits and cannot tell even parity from\n"
     "none: the served port's data bits stay, and its even or no parity).\n"
     "\n"
     "  --link PATH        also a symbolic link to the terminal at PATH; an existing file\n"
     "                     that is no link, or a link another zor pty runs on, is refused\n"
     "  --log FILE         write the traffic log (the format \"--port Playback\" replays)\n",
     "\n"
     "  zor pty --port Playback --address session.log --link /tmp/instrument\n"
     "  python3 -m serial.tools.miniterm /tmp/instrument\n"},
    {"settings",
     "usage: zor settings [--keys]\n"
     "       zor settings [--defaults] [--port P] [options]\n"
     "\n"
     "Without options shows the stored connection choice, the one \"zor run\", \"zor server\"\n"
     "and \"zor remote\" open, as the settings dialog shows it. With options writes it with\n"
     "the dialog's rules: the eleven \"runZor ...\" keys, as its OK writes them. An option\n"
     "that the chosen port does not use is refused, as is a value the dialog does not\n"
     "offer; then nothing is written.\n"
     "\n"
     "  --keys             show the eleven keys and values as stored\n"
     "  --defaults         start from the choice with nothing stored (NULL)\n",
     ""},
    {"usb",
     "usage: zor usb [--dump]\n"
     "\n"
     "Lists the USB instruments the USB device can open.\n"
     "\n"
     "  --dump             also their USB configuration: descriptors, interfaces, pipes\n"},
    {"view",
     "usage: zor view FILE\n"
     "\n"
     "Opens a recorded traffic log (the monitor's \"Log to file\" or zor run --console --log)\n"
     "in the monitor window, read only, until the window is closed. Data written in\n"
     "hexadecimal or decimal follow the window's View menu; Pause and Clear work as on a\n"
     "live device. Needs a display.\n"},
};

}  // namespace

const char* modeUsage(const char* mode) {
  if (mode == nullptr) return nullptr;
  try {
    // Built once; the texts with the port options name the kinds the registry has.
    static const std::vector<std::string> texts = [] {
      std::vector<std::string> out;
      for (const ModeText& m : kModes)
        out.push_back(m.afterPortOptions == nullptr ? std::string(m.text)
                                                    : m.text + portOptions() + m.afterPortOptions);
      return out;
    }();
    for (std::size_t i = 0; i < std::size(kModes); ++i)
      if (std::strcmp(kModes[i].name, mode) == 0) return texts[i].c_str();
  } catch (...) {
    // Memory ran out building the texts: no text, as for an unknown mode.
  }
  return nullptr;
}

std::string versionLine() {
  // The version record's product name and version.
  return zorVersionText(4) + " " + zorVersionText(3);
}

std::string programUsage() {
  return "usage: zor <mode> [options]\n"
         "       zor --help | -h | --version\n"
         "       zor <mode> --help\n"
         "\n"
         "zor opens a device (serial port, USB instrument, loopback, replay of a traffic log,\n"
         "client of a zor server, network serial port) and talks to it, or serves it to a\n"
         "client elsewhere.\n"
         "\n"
         "Modes:\n"
         "  run [--console]    talk to the device from a window, the terminal or a script\n"
         "  server [--headless]  serve the device to one client over local named pipes\n"
         "  remote [--headless]  serve the device to one client over TCP (40765, 40766), or as a\n"
         "                     network serial port (--protocol rfc2217) or raw bytes\n"
         "  help               the short usage, on standard error\n"
         "  ports [--json]     list the serial ports and the ttys they map to\n"
         "  pty [--link PATH]  the device as a pseudo-terminal any program opens as a port\n"
         "  settings           show or write the stored device choice\n"
         "  usb [--dump]       list the USB instruments\n"
         "  view FILE          browse a recorded traffic log in the monitor window\n"
         "\n"
         "Files:\n"
         "  ~/.config/zor/zor.ini     the settings, section [ZOR.DLL]: the device choice\n"
         "                            (\"runZor ...\" keys, see zor settings) and the library's\n"
         "                            time-outs and switches\n"
         "  ~/.config/zor/ports/COMn  a link naming the tty of serial port COMn (default\n"
         "                            /dev/ttyS<n-1>)\n"
         "\n"
         "Environment:\n"
         "  ZOR_CONFIG         the settings file to use instead (its folder holds ports/)\n"
         "  XDG_CONFIG_HOME    the settings file is $XDG_CONFIG_HOME/zor/zor.ini\n"
         "  ZOR_PIPE_DIR       the folder of the local pipes (default $XDG_RUNTIME_DIR/zor,\n"
         "                     else /tmp/zor-<uid>)\n"
         "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM   whether the windows have a display\n"
         "\n"
         "Exit status: 0 done, 1 the mode failed (the message says what to do), 2 the command\n"
         "line was wrong.\n";
}

}  // namespace zor
