// Lists the USB instruments the settings name ("USB Devices") and prints
// the configuration of each one present: what to look at first when an
// instrument does not answer on its bulk pipes.
//   usb_dump        (with USB Devices=04d8:000a in [ZOR.DLL] of the settings file)
#include <zor/zor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: usb_dump\n"
    "  Prints the \"USB Devices\" setting and the configuration dump of each listed\n"
    "  instrument that is present and free.\n"
    "  Exit status: 0 at least one dumped, 1 none listed or present, 2 a wrong command line.\n";

// Where the library reads its settings: $ZOR_CONFIG, else the XDG place.
std::string settingsFile() {
  if (const char* own = std::getenv("ZOR_CONFIG"); own != nullptr && *own != '\0') return own;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
    return std::string(xdg) + "/zor/zor.ini";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.config/zor/zor.ini";
}

// The value of key in the library's section, for the listing only: the device reads it itself.
std::string setting(const std::string& file, const char* key) {
  std::ifstream in(file);
  std::string section = std::string("[") + zor::zorString(zor::IDS_SECTION) + "]";
  bool inSection = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') inSection = line == section;
    auto eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    std::string name = line.substr(0, line.find_last_not_of(" \t", eq - 1) + 1);
    if (name == key)
      return line.substr(line.find_first_not_of(" \t", eq + 1) == std::string::npos
                             ? eq + 1
                             : line.find_first_not_of(" \t", eq + 1));
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    if (help)
      std::fputs(kUsage, stdout);
    else
      std::fprintf(stderr, "usb_dump: unknown argument \"%s\"; try usb_dump --help\n", argv[1]);
    return help ? 0 : 2;
  }
  const char* key = zor::zorString(zor::IDS_USB_DEVICES);
  std::string file = settingsFile();
  std::string listed = setting(file, key);
  std::printf("%s = %s   (%s)\n", key, listed.empty() ? "(none)" : listed.c_str(), file.c_str());

  // A device opens the first listed instrument it can have; while this
  // program holds that one, the next device object gets the next one.
  std::vector<std::unique_ptr<zor::CDevUSB>> open;
  for (int i = 0; i < 64; ++i) {
    auto device = std::make_unique<zor::CDevUSB>();
    if (!device->OpenDevice(0, 8192, 8192)) break;
    std::printf("instrument %d:\n", i + 1);
    for (const std::string& line : device->DumpUSBConfig()) std::printf("  %s\n", line.c_str());
    open.push_back(std::move(device));
  }
  for (auto& device : open) device->CloseDevice();
  if (open.empty()) {
    // The device has said why on standard error when nothing is listed or permitted.
    std::fprintf(stderr, "usb_dump: no listed instrument is present and free (zor usb lists them)\n");
    return 1;
  }
  return 0;
}
