// zor usb: the listed USB instruments that are present, and with --dump the
// configuration of each; useful on a machine without a display.
#include <zor/host.h>
#include <zor/strings.h>

#include "zor/devices/usbconfig.h"
#include "zor/platform/platform.h"
#include "zor/platform/usb.h"
#include "zor/support/support.h"

#include <cstdio>
#include <cstring>

namespace zor {

int runUsbMode(int argc, char** argv) {
  bool dump = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dump") == 0) {
      dump = true;
    } else {
      std::fprintf(stderr,
                   "zor usb: unknown option \"%s\"; \"zor usb --dump\" also prints each configuration\n",
                   argv[i]);
      return 2;
    }
  }
  CIni ini;
  ini.UseSystemFile();
  const char* key = zorString(IDS_USB_DEVICES);
  std::string bad;
  std::vector<UsbId> ids = parseUsbIdList(ini.GetProfileStringA(IDS_SECTION, IDS_USB_DEVICES, ""), &bad);
  if (!bad.empty())
    std::fprintf(stderr, "zor usb: \"%s\" holds entries that are no vendor:product pair, ignored: %s\n", key,
                 bad.c_str());
  if (ids.empty()) {
    std::fprintf(
        stderr,
        "zor usb: no USB instrument is listed: add its vendor:product pairs to \"%s\" in section [%s] "
        "of %s, such as %s=04d8:000a\n",
        key, zorString(IDS_SECTION), settingsFilePath().c_str(), key);
    return 1;
  }
  setUsbDeviceIds(ids);
  std::vector<UsbDeviceInfo> devices = listUsbDevices(true);
  if (devices.empty()) std::fprintf(stderr, "zor usb: none of the listed instruments is present\n");
  for (const UsbDeviceInfo& d : devices) {
    const char* state = d.state == ERROR_SUCCESS             ? "free"
                        : d.state == ERROR_SHARING_VIOLATION ? "in use"
                        : d.state == ERROR_ACCESS_DENIED     ? "no permission on the node"
                        : d.state == ERROR_FILE_NOT_FOUND    ? "no interface with bulk IN and OUT"
                                                             : "cannot be opened";
    std::printf("%s %04x:%04x %s (%s)\n", d.path.c_str(), d.id.vendor, d.id.product, state, d.node.c_str());
    if (!dump) continue;
    for (const std::string& line : usbConfigLines(!d.config.empty(), d.config.data(), d.config.size()))
      std::printf("  %s\n", line.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace zor
