// zor usb: the listed USB instruments that are present, and with --dump the
// configuration of each; useful on a machine without a display.
#include <zor/host.h>
#include <zor/strings.h>

#include <zor/settings.h>
#include <zor/usblist.h>

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
  const char* key = zorString(IDS_USB_DEVICES);
  const UsbInstrumentList list = listUsbInstruments(dump);
  if (!list.ignored.empty())
    std::fprintf(stderr, "zor usb: \"%s\" holds entries that are no vendor:product pair, ignored: %s\n", key,
                 list.ignored.c_str());
  if (!list.anyListed) {
    std::fprintf(
        stderr,
        "zor usb: no USB instrument is listed: add its vendor:product pairs to \"%s\" in section [%s] "
        "of %s, such as %s=04d8:000a\n",
        key, zorString(IDS_SECTION), settingsFilePath().c_str(), key);
    return 1;
  }
  if (list.present.empty()) std::fprintf(stderr, "zor usb: none of the listed instruments is present\n");
  for (const UsbInstrument& d : list.present) {
    const char* state = d.state == ERROR_SUCCESS             ? "free"
                        : d.state == ERROR_SHARING_VIOLATION ? "in use"
                        : d.state == ERROR_ACCESS_DENIED     ? "no permission on the node"
                        : d.state == ERROR_FILE_NOT_FOUND    ? "no interface with bulk IN and OUT"
                                                             : "cannot be opened";
    std::printf("%s %04x:%04x %s (%s)\n", d.path.c_str(), d.vendor, d.product, state, d.node.c_str());
    for (const std::string& line : d.configLines) std::printf("  %s\n", line.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace zor
