// The command-line options that choose a device ("--port COM3 --baud 115200
// ..."), shared by "zor settings" and "zor run --console". Their meaning is
// the settings dialog's, through CRunZorSettings.
#pragma once

#include <zor/host.h>

#include <string>

namespace zor {

struct PortChoice {
  const char* port = nullptr;
  const char* address = nullptr;
  const char* baud = nullptr;
  const char* parity = nullptr;
  const char* data = nullptr;
  const char* stop = nullptr;
  const char* rtsCts = nullptr;
  const char* xonXoff = nullptr;
  const char* overlappedRx = nullptr;
  const char* overlappedTx = nullptr;
  const char* loopback = nullptr;
  bool any() const;
};

// argv[i] as one of those options: 1 when it is one and its value was taken
// (i then names the value), 0 when it is not one, -1 when its value is
// missing (one line on standard error, naming mode).
int takePortOption(const char* mode, int argc, char** argv, int& i, PortChoice& choice);

// The choice applied with the dialog's rules: a port chosen first gets its
// defaults, then the other options. False, with one line on standard error
// that names the fault and what to give instead, when an option names no
// port, has a value the dialog does not offer, or is not used by the port
// chosen, or when NET, TCP or Playback is left without an address; settings
// is then partly changed and must not be stored.
bool applyPortChoice(const char* mode, const PortChoice& choice, CRunZorSettings& settings);

// A whole decimal number without sign or other characters, at most max; -1 otherwise.
long wholeNumber(const char* v, long max = 100000000);

// "COM1, COM3" (or "none"): the serial ports the library found.
std::string foundPortsText();

}  // namespace zor
