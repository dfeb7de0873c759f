// What the serial ports map to: the ports/COMn links and, for USB adapters,
// the vendor, product and serial number that sysfs gives the USB device above
// the tty (reached through /sys/dev/char/<major>:<minor>, whatever the tty's name).
#include "zor/platform/platform.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zor {
namespace {

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// The first line of a sysfs attribute, without trailing blanks.
std::string attribute(const std::string& folder, const char* name) {
  std::ifstream f(folder + "/" + name);
  std::string line;
  if (!f || !std::getline(f, line)) return {};
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// The USB device above the sysfs folder of a tty: the nearest folder upwards
// with an idVendor attribute, not leaving sysfs. Empty when there is none.
std::string usbDeviceAbove(const std::string& ttyFolder, const std::string& sysRoot) {
  const std::string root = realPath(sysRoot);
  std::string dir = realPath(ttyFolder);
  if (root.empty() || dir.empty()) return {};
  while (dir.size() > root.size() && dir.compare(0, root.size(), root) == 0) {
    struct stat st;
    if (::stat((dir + "/idVendor").c_str(), &st) == 0) return dir;
    dir.erase(dir.find_last_of('/'));
  }
  return {};
}

void fillUsb(ComPortInfo& info, const std::string& usb) {
  info.usb = true;
  info.vendorId = attribute(usb, "idVendor");
  info.productId = attribute(usb, "idProduct");
  info.serial = attribute(usb, "serial");
  info.manufacturer = attribute(usb, "manufacturer");
  info.product = attribute(usb, "product");
}

}  // namespace

ComPortInfo describeTty(const std::string& path, const std::string& sysRoot) {
  ComPortInfo info;
  info.target = path;
  info.tty = realPath(path);
  struct stat st;
  if (info.tty.empty() || ::stat(info.tty.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
    info.tty.clear();  // a folder or a file is no tty
    return info;
  }
  const std::string node =
      sysRoot + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  std::string usb = usbDeviceAbove(node, sysRoot);
  if (!usb.empty()) fillUsb(info, usb);
  return info;
}

ComPortInfo describeComPort(int n, const std::string& sysRoot) {
  const std::string name = "COM" + std::to_string(n);
  ComPortInfo info = describeTty(resolveComName(name.c_str()), sysRoot);
  info.number = n;
  info.link = portLinkFolder() + "/" + name;
  struct stat st;
  info.linked = ::lstat(info.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  if (!info.linked) info.link.clear();
  return info;
}

std::vector<int> linkedComNumbers() {
  std::vector<int> out;
  DIR* dir = ::opendir(portLinkFolder().c_str());
  if (dir == nullptr) return out;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name[3] == '0') continue;
    if (name.find_first_not_of("0123456789", 3) != std::string::npos || name.size() > 10) continue;
    out.push_back(std::atoi(name.c_str() + 3));
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> usbSerialTtys(const std::string& sysRoot) {
  std::vector<std::string> out;
  const std::string cls = sysRoot + "/class/tty";
  DIR* dir = ::opendir(cls.c_str());
  if (dir == nullptr) return out;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (!usbDeviceAbove(cls + "/" + e->d_name, sysRoot).empty())
      out.push_back(std::string("/dev/") + e->d_name);
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace zor
