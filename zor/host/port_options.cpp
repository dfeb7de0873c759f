#include "zor/host/port_options.h"

#include "zor/host/device_kinds.h"

#include <zor/ports.h>

#include <zor/app.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace zor {
namespace {

struct OptionSlot {
  const char* name;
  const char* PortChoice::*field;
};

constexpr OptionSlot kOptions[] = {
    {"--port", &PortChoice::port},
    {"--address", &PortChoice::address},
    {"--baud", &PortChoice::baud},
    {"--parity", &PortChoice::parity},
    {"--data", &PortChoice::data},
    {"--stop", &PortChoice::stop},
    {"--rtscts", &PortChoice::rtsCts},
    {"--xonxoff", &PortChoice::xonXoff},
    {"--overlapped-rx", &PortChoice::overlappedRx},
    {"--overlapped-tx", &PortChoice::overlappedTx},
    {"--loopback", &PortChoice::loopback},
};

bool lowerEquals(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
    if (*a == '\0') return true;
  }
}

// "on"/"off" (also 1/0, yes/no, true/false); -1 for anything else.
int switchValue(const char* v) {
  for (const char* on : {"on", "1", "yes", "true"})
    if (lowerEquals(v, on)) return 1;
  for (const char* off : {"off", "0", "no", "false"})
    if (lowerEquals(v, off)) return 0;
  return -1;
}

std::string baudList() {
  std::string out;
  for (int i = 0; i < CRunZorSettings::BaudRateCount(); ++i) {
    if (i > 0) out += ' ';
    out += std::to_string(CRunZorSettings::BaudRateAt(i));
  }
  return out;
}

void fail(const char* mode, const std::string& line) {
  std::fprintf(stderr, "zor %s: %s\n", mode, line.c_str());
}

// "NULL", "COM 3", ...: the entry now chosen.
std::string entryName(const CRunZorSettings& s) {
  std::string name = CRunZorSettings::PortEntryText(s.GetPortIndex());
  return name.empty() ? "entry " + std::to_string(s.GetPortIndex()) : name;
}

// Option name applies only to the entries that enable control.
bool usedByPort(const char* mode, const char* name, CRunZorSettings::Control control,
                const CRunZorSettings& s) {
  if (s.IsEnabled(control)) return true;
  fail(mode, std::string(name) + " applies to " + kindsUsing(control) + " only, and the port is " +
                 entryName(s) + "; choose the port with --port, or leave " + name + " out");
  return false;
}

bool applySwitch(const char* mode, const char* name, const char* value, void (CRunZorSettings::*set)(int),
                 CRunZorSettings& s) {
  int v = switchValue(value);
  if (v < 0) {
    fail(mode, std::string(name) + " \"" + value + "\" is neither on nor off; give " + name + " on or " +
                   name + " off");
    return false;
  }
  (s.*set)(v);
  return true;
}

}  // namespace

bool PortChoice::any() const {
  for (const OptionSlot& o : kOptions)
    if (this->*o.field != nullptr) return true;
  return false;
}

int takePortOption(const char* mode, int argc, char** argv, int& i, PortChoice& choice) {
  for (const OptionSlot& o : kOptions) {
    if (std::strcmp(argv[i], o.name) != 0) continue;
    if (i + 1 >= argc) {
      fail(mode, std::string(o.name) + " needs a value; try zor " + mode + " --help");
      return -1;
    }
    choice.*o.field = argv[++i];
    return 1;
  }
  return 0;
}

std::string foundPortsText() {
  std::string out;
  for (int i = 0; i < zorNumComPorts(); ++i) {
    if (!out.empty()) out += ", ";
    out += "COM" + std::to_string(zorGetComPortNumber(i));
  }
  return out.empty() ? "none" : out;
}

bool applyPortChoice(const char* mode, const PortChoice& c, CRunZorSettings& s) {
  if (c.port != nullptr) {
    int entry = CRunZorSettings::PortEntryOf(c.port);
    if (entry < 0) {
      std::string name = c.port;
      if (name.size() > 3 && lowerEquals(name.substr(0, 3).c_str(), "com") &&
          !resolveComName(("COM" + name.substr(name[3] == ' ' ? 4 : 3)).c_str()).empty()) {
        std::string com = "COM" + name.substr(name[3] == ' ' ? 4 : 3);
        fail(mode, "there is no serial port " + com + " (found: " + foundPortsText() + "; COM1 to COM" +
                       std::to_string(theApp.m_maxComPort) +
                       " (\"Max COM Port number\") and the linked ones " + "are looked for); link " +
                       portLinkFolder() + "/" + com + " to its tty; zor ports lists the ports");
      } else {
        fail(mode, "--port \"" + name + "\" names no port; give " + kindNames(kAllKinds, ", ", " or ") +
                       " (zor ports lists the serial ports)");
      }
      return false;
    }
    s.SelectPort(entry);
  }
  if (c.address != nullptr) {
    if (!usedByPort(mode, "--address", CRunZorSettings::CONTROL_ADDRESS, s)) return false;
    s.SetAddress(c.address);
  }
  if (c.baud != nullptr) {
    if (!usedByPort(mode, "--baud", CRunZorSettings::CONTROL_SERIAL, s)) return false;
    long rate = wholeNumber(c.baud);
    if (rate < 0) {
      fail(mode, std::string("--baud \"") + c.baud + "\" is not a number; give one of " + baudList());
      return false;
    }
    int index = CRunZorSettings::BaudRateIndexOf(static_cast<unsigned long>(rate));
    if (index < 0) {
      fail(mode,
           std::to_string(rate) + " baud is not in the settings dialog's list; give one of " + baudList());
      return false;
    }
    s.SetBaudRateIndex(index);
  }
  if (c.parity != nullptr) {
    if (!usedByPort(mode, "--parity", CRunZorSettings::CONTROL_SERIAL, s)) return false;
    int index = -1;
    for (int i = 0; CRunZorSettings::ParityText(i) != nullptr; ++i) {
      const char letter[2] = {CRunZorSettings::ParityText(i)[0], '\0'};
      if (lowerEquals(c.parity, letter) || lowerEquals(c.parity, CRunZorSettings::ParityText(i))) index = i;
    }
    if (index < 0) {
      fail(mode, std::string("--parity \"") + c.parity +
                     "\" is no parity; give N (none), E (even), O (odd), M (mark) or S (space)");
      return false;
    }
    s.SetParityIndex(index);
  }
  if (c.data != nullptr) {
    if (!usedByPort(mode, "--data", CRunZorSettings::CONTROL_SERIAL, s)) return false;
    long bits = wholeNumber(c.data);
    if (bits < 5 || bits > 8) {
      fail(mode, std::string("--data \"") + c.data + "\" is not a number of data bits; give 5, 6, 7 or 8");
      return false;
    }
    s.SetDataBitsIndex(static_cast<int>(bits - 5));
  }
  if (c.stop != nullptr) {
    if (!usedByPort(mode, "--stop", CRunZorSettings::CONTROL_SERIAL, s)) return false;
    int index = -1;
    for (int i = 0; CRunZorSettings::StopBitsText(i) != nullptr; ++i)
      if (std::strcmp(c.stop, CRunZorSettings::StopBitsText(i)) == 0) index = i;
    if (index < 0) {
      fail(mode, std::string("--stop \"") + c.stop + "\" is not a number of stop bits; give 1, 1.5 or 2");
      return false;
    }
    s.SetStopBitsIndex(index);
  }
  if (c.rtsCts != nullptr && (!usedByPort(mode, "--rtscts", CRunZorSettings::CONTROL_SERIAL, s) ||
                              !applySwitch(mode, "--rtscts", c.rtsCts, &CRunZorSettings::SetHwHandshake, s)))
    return false;
  if (c.xonXoff != nullptr && (!usedByPort(mode, "--xonxoff", CRunZorSettings::CONTROL_OVERLAPPED, s) ||
                               !applySwitch(mode, "--xonxoff", c.xonXoff, &CRunZorSettings::SetXonXoff, s)))
    return false;
  if (c.overlappedRx != nullptr &&
      (!usedByPort(mode, "--overlapped-rx", CRunZorSettings::CONTROL_OVERLAPPED, s) ||
       !applySwitch(mode, "--overlapped-rx", c.overlappedRx, &CRunZorSettings::SetOverlappedRx, s)))
    return false;
  if (c.overlappedTx != nullptr &&
      (!usedByPort(mode, "--overlapped-tx", CRunZorSettings::CONTROL_OVERLAPPED, s) ||
       !applySwitch(mode, "--overlapped-tx", c.overlappedTx, &CRunZorSettings::SetOverlappedTx, s)))
    return false;
  if (c.loopback != nullptr &&
      (!usedByPort(mode, "--loopback", CRunZorSettings::CONTROL_LOOPBACK, s) ||
       !applySwitch(mode, "--loopback", c.loopback, &CRunZorSettings::SetLoopback, s)))
    return false;
  if (s.IsEnabled(CRunZorSettings::CONTROL_ADDRESS) && s.GetAddress()[0] == '\0') {
    const char* what = deviceKindAt(s.GetPortIndex()).addressNeeded;
    fail(mode, "--port " + entryName(s) + " needs --address: " + (what != nullptr ? what : "its address"));
    return false;
  }
  const DeviceKind& kind = deviceKindAt(s.GetPortIndex());
  if (s.IsEnabled(CRunZorSettings::CONTROL_ADDRESS) && kind.addressFits != nullptr &&
      !kind.addressFits(s.GetAddress())) {
    fail(mode, std::string("--address \"") + s.GetAddress() + "\" does not fit --port " + entryName(s) +
                   "; give " + kind.addressNeeded);
    return false;
  }
  return true;
}

long wholeNumber(const char* v, long max) {
  if (v == nullptr || *v == '\0') return -1;
  long n = 0;
  for (const char* p = v; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return -1;
    n = n * 10 + (*p - '0');
    if (n > max) return -1;
  }
  return n;
}

}  // namespace zor
