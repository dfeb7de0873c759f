// The kinds of device the program can open, one row each: the name the user
// types and the port list shows, the place in that list (the stored
// "runZor NumDev"), what the settings dialog enables and defaults for it, how
// the device is built and opened from the stored choice, and what the usage
// and the messages say of it. Everything that lists the kinds reads them here,
// so a new medium is one more row.
#pragma once

#include <zor/host.h>

#include <span>
#include <string>

namespace zor {

struct DeviceKind {
  // What ApplyPortDefaults turns on for the kind; everything else is off.
  enum Default : unsigned {
    DEFAULT_OVERLAPPED_RX = 1u << 0,
    DEFAULT_OVERLAPPED_TX = 1u << 1,
    DEFAULT_XONXOFF = 1u << 2,
    DEFAULT_RTSCTS = 1u << 3,
    DEFAULT_FRAME = 1u << 4,  // 9600 baud, no parity, 8 data bits, 1 stop bit
  };

  // "NULL", ...; the serial row, whose entries are the ports found at start,
  // is typed as "COMn" and shown as "COM n".
  const char* name;
  // The port list entry (the stored "runZor NumDev"); for the serial row its
  // first entry. Not the place in the list: see CRunZorSettings::Entry.
  int entry;
  zorType type;
  // The controls the dialog enables, and so the options the command line
  // accepts, bit 1 << CRunZorSettings::Control each.
  unsigned uses;
  unsigned defaults;
  // Whether a server may serve it: a network client device is never served.
  bool servable;
  // The address field's label ("Server:", "File:"); null when the kind has no address.
  const char* addressLabel;
  // The address in the usage ("the server's host name") and in the message
  // when it is missing ("the host name or address of the zor server").
  const char* addressUsage;
  const char* addressNeeded;
  // The device the settings choose, configured and not yet open; null when
  // they name none (an empty address, a serial entry past the list) or
  // memory ran out.
  CDevice* (*make)(const CRunZorSettings& settings);
  // Opens what make built, with the overlap flags (bit 0 RX, bit 1 TX).
  bool (*open)(CDevice& device, const CRunZorSettings& settings, int flags);
  // Whether an address has the kind's form; null when any text will do.
  bool (*addressFits)(const char* address) = nullptr;

  bool Uses(CRunZorSettings::Control control) const { return (uses & (1u << control)) != 0; }
  bool IsSerial() const { return entry == CRunZorSettings::ENTRY_FIRST_SERIAL; }
};

// Every row, in the port list's order, the serial row last.
std::span<const DeviceKind> deviceKinds();

// The row of a port list entry. An entry no other row has (a serial port, or
// no selection at all) is the serial row: the dialog enables such an entry as
// a serial port.
const DeviceKind& deviceKindAt(int entry);

// How many of the serial ports found at start the port list shows: all of
// them, up to the entries the later kinds took (CRunZorSettings::ENTRY_FIRST_ADDED).
int listedSerialPorts();
// Which of those ports (the index for zorGetComPortNumber) entry chooses; -1
// when it chooses none.
int serialPortSlot(int entry);

// The kinds that use control as a message names them: "NET, TCP and
// Playback", "USB, NET, TCP and serial ports", "a serial port (--port COMn)".
std::string kindsUsing(CRunZorSettings::Control control);

// The names of the rows that use one of the controls of mask (bits as in
// DeviceKind::uses; kAllKinds: every row), joined with separator and, before
// the last one, last: "NULL, USB or COMn", "NULL|USB|COMn".
constexpr unsigned kAllKinds = ~0u;
std::string kindNames(unsigned mask, const char* separator, const char* last);

}  // namespace zor
