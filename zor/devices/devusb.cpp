#include <zor/devusb.h>

#include <zor/app.h>
#include <zor/strings.h>

#include "zor/core/channel.h"
#include "zor/devices/usbconfig.h"
#include "zor/platform/platform.h"
#include "zor/platform/usb.h"
#include "zor/platform/usb_transport.h"
#include "zor/support/support.h"

#include <cstdio>
#include <cstring>

namespace zor {
namespace {

// A key that is not stored gets its default written, so that the file shows what can be set.
int readInt(CIni& ini, UINT key, int def) {
  if (!ini.ReadString(zorString(IDS_SECTION), zorString(key))) ini.WriteProfileInt(IDS_SECTION, key, def);
  return ini.GetProfileIntA(IDS_SECTION, key, def);
}

// The configuration block of the instrument whose pipe the device's input is;
// empty while the device is closed.
std::vector<unsigned char> configBlockOf(const CDevice& dev) {
  std::string path;
  {
    ChannelTransport channel = deviceTransport(dev, true);
    if (const auto* pipe = channel.as<UsbTransport>()) path = pipe->devicePath();
  }
  DWORD error = ERROR_SUCCESS;
  return path.empty() ? std::vector<unsigned char>{} : usbConfigBlock(path, &error);
}

}  // namespace

CDevUSB::CDevUSB() {
  CIni ini;
  ini.UseSystemFile();
  ini.ForceWriteDefaults();
  m_inputPipe = readInt(ini, IDS_INPUT_PIPE, 1);
  m_outputPipe = readInt(ini, IDS_OUTPUT_PIPE, 0);
  if (!ini.ReadString(zorString(IDS_SECTION), zorString(IDS_USB_DEVICES)))
    ini.WriteProfileStringA(IDS_SECTION, IDS_USB_DEVICES, "");
  m_devices = ini.GetProfileStringA(IDS_SECTION, IDS_USB_DEVICES, "");
  m_rxSize = 64;
  m_txSize = 64;
  SetWholeReads(true);  // a read shorter than a packet overflows
  constructor();
}

CDevUSB::~CDevUSB() { destroyer(); }

bool CDevUSB::OpenDevice(int overlapFlags, int rxSize, int txSize) {
  std::string bad;
  std::vector<UsbId> ids = parseUsbIdList(m_devices, &bad);
  const char* key = zorString(IDS_USB_DEVICES);
  if (!bad.empty())
    std::fprintf(stderr, "zor: \"%s\" holds entries that are no vendor:product pair, ignored: %s\n", key,
                 bad.c_str());
  if (ids.empty()) {
    std::fprintf(
        stderr,
        "zor: no USB instrument is listed: add its vendor:product pairs to \"%s\" in section [%s] of "
        "%s, such as %s=04d8:000a\n",
        key, zorString(IDS_SECTION), settingsFilePath().c_str(), key);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  setUsbDeviceIds(ids);
  char path[256];
  if (!get_device_filename(path, sizeof path)) {
    const std::string& node = m_deniedNode;
    if (!node.empty())
      std::fprintf(stderr,
                   "zor: no permission to open %s, a listed USB instrument; the README's udev rule gives a "
                   "group access to it\n",
                   node.c_str());
    return false;
  }
  char inName[300], outName[300];
  std::snprintf(inName, sizeof inName, "%s\\PIPE%.2i", path, m_inputPipe);
  std::snprintf(outName, sizeof outName, "%s\\PIPE%.2i", path, m_outputPipe);
  unsigned long lastError = 0;
  return openDevice(inName, outName, overlapFlags, rxSize, txSize, &lastError);
}

// Finds the first listed instrument that can be claimed: its path in path,
// which is returned; null when there is none.
void* CDevUSB::openUsbDevice(char* path, int pathSize) {
  std::string denied;
  for (const UsbDeviceInfo& device : listUsbDevices(false)) {
    // A path cut short would name another port.
    if (device.path.size() >= static_cast<std::size_t>(pathSize)) continue;
    DWORD error = probeUsbDevice(device.path);
    if (error == ERROR_SUCCESS) {
      std::memcpy(path, device.path.c_str(), device.path.size() + 1);
      return path;
    }
    if (error == ERROR_ACCESS_DENIED && denied.empty()) denied = usbDeniedNode();
    SetLastError(error);
  }
  // Reported only when no other instrument could be opened instead.
  m_deniedNode = denied;
  return nullptr;
}

bool CDevUSB::get_device_filename(char* path, int pathSize) {
  return openUsbDevice(path, pathSize) != nullptr;
}

bool CDevUSB::openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                         unsigned long* lastError) {
  // The resumer reopens through here: the bound follows the settings in force.
  setUsbTransferTimeout(static_cast<DWORD>(theApp.m_ioTimeout));
  return CDevice::openDevice(inName, outName, overlapFlags, rxSize, txSize, lastError);
}

bool CDevUSB::program_device(int, int) {
  read_usb_config();
  return true;
}

void CDevUSB::read_usb_config() {
  std::vector<unsigned char> block = configBlockOf(*this);
  if (block.empty()) return;
  int rx = m_rxSize, tx = m_txSize;
  usbTransferSizes(block.data(), block.size(), rx, tx);
  m_rxSize = rx;
  m_txSize = tx;
}

bool CDevUSB::on_io_error(unsigned long error, int) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE;
}

std::vector<std::string> CDevUSB::DumpUSBConfig() const {
  std::vector<unsigned char> block = configBlockOf(*this);
  return usbConfigLines(!block.empty(), block.data(), block.size());
}

}  // namespace zor
