// The USB instruments the settings list ("USB devices") and that are present,
// for a program that shows them ("zor usb").
#pragma once

#include <zor/export.h>
#include <zor/platform.h>

#include <string>
#include <vector>

namespace zor {

struct UsbInstrument {
  std::string path;  // what CDevUSB opens: "usb:1-2.3"
  std::string node;  // "/dev/bus/usb/001/004"
  WORD vendor = 0;
  WORD product = 0;
  // ERROR_SUCCESS when it can be opened, else why not (ERROR_SHARING_VIOLATION:
  // in use; ERROR_ACCESS_DENIED: no permission on the node;
  // ERROR_FILE_NOT_FOUND: no interface with bulk IN and OUT).
  DWORD state = ERROR_SUCCESS;
  // With the dump asked for: the active configuration, one line per descriptor.
  std::vector<std::string> configLines;
};

struct UsbInstrumentList {
  bool anyListed = false;  // the setting names at least one vendor:product pair
  std::string ignored;     // its entries that are no such pair, as written
  std::vector<UsbInstrument> present;
};

// Reads "USB devices" from the settings, makes those the instruments the
// library may open, and lists the ones present; dump adds each one's
// configuration.
ZOR_API UsbInstrumentList listUsbInstruments(bool dump);

}  // namespace zor
