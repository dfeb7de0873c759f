// The serial ports of the machine as the library names them ("COMn"), for a
// program that lists them ("zor ports").
#pragma once

#include <zor/export.h>

#include <string>
#include <vector>

namespace zor {

// The folder of "COMn" links, beside the settings file.
ZOR_API std::string portLinkFolder();
// Device path a "COMn" name stands for: ports/COMn's target, else /dev/ttyS<n-1>.
// Empty when name is not of that form.
ZOR_API std::string resolveComName(const char* name);

// What serial port COM<n> maps to, for listing the ports ("zor ports").
struct ComPortInfo {
  int number = 0;
  std::string target;   // the path COMn resolves to: the link's target, else /dev/ttyS<n-1>
  std::string tty;      // that path with every link resolved; empty when it does not exist
  bool linked = false;  // named by the link ports/COMn
  std::string link;     // the link's path
  // A USB adapter: what sysfs says of the USB device above the tty.
  bool usb = false;
  std::string vendorId, productId, serial, manufacturer, product;
};
// sysRoot: where sysfs is mounted (tests give a tree of their own).
ZOR_API ComPortInfo describeComPort(int n, const std::string& sysRoot = "/sys");
// The same for a tty path of no COM number (number 0, not linked).
ZOR_API ComPortInfo describeTty(const std::string& path, const std::string& sysRoot = "/sys");
// The COM numbers that have a link in portLinkFolder(), ascending.
ZOR_API std::vector<int> linkedComNumbers();
// The ttys (as /dev paths) whose device sits under a USB device: the USB
// serial adapters of the machine, sorted.
ZOR_API std::vector<std::string> usbSerialTtys(const std::string& sysRoot = "/sys");

}  // namespace zor
