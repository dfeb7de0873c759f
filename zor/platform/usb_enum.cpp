// The listed instruments that are present: found by the port chain they hang
// on, and described by their active configuration.
#include "zor/platform/usb_session.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

namespace zor {
namespace {

struct Location {
  int bus = 0;
  std::vector<int> ports;
  bool operator<(const Location& o) const { return bus != o.bus ? bus < o.bus : ports < o.ports; }
};

Location locationOf(libusb_device* dev) {
  Location where;
  where.bus = libusb_get_bus_number(dev);
  std::uint8_t ports[8];
  int n = libusb_get_port_numbers(dev, ports, 8);
  for (int i = 0; i < n; ++i) where.ports.push_back(ports[i]);
  return where;
}

std::string pathOf(const Location& where) {
  std::string path = "usb:" + std::to_string(where.bus) + "-";
  if (where.ports.empty()) return path + "0";
  for (std::size_t i = 0; i < where.ports.size(); ++i) {
    if (i > 0) path += '.';
    path += std::to_string(where.ports[i]);
  }
  return path;
}

bool listedDevice(libusb_device* dev) {
  libusb_device_descriptor d{};
  return libusb_get_device_descriptor(dev, &d) == 0 && usbListed({d.idVendor, d.idProduct});
}

// One descriptor: its fields, cut or padded to its own length.
void put(std::vector<unsigned char>& out, std::initializer_list<unsigned> fields, unsigned length) {
  std::size_t start = out.size();
  for (unsigned b : fields) out.push_back(static_cast<unsigned char>(b));
  out.resize(start + length);
}

void putExtra(std::vector<unsigned char>& out, const unsigned char* extra, int length) {
  if (extra != nullptr && length > 0) out.insert(out.end(), extra, extra + length);
}

}  // namespace

std::string usbPathOf(libusb_device* dev) { return pathOf(locationOf(dev)); }

std::string usbNodeOf(libusb_device* dev) {
  char node[40];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
  return node;
}

libusb_device* findUsbDevice(libusb_context* ctx, const std::string& path) {
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device* found = nullptr;
  for (ssize_t i = 0; i < n && found == nullptr; ++i)
    if (listedDevice(list[i]) && usbPathOf(list[i]) == path) found = libusb_ref_device(list[i]);
  if (n >= 0) libusb_free_device_list(list, 1);
  return found;
}

bool chooseUsbInterface(libusb_device* dev, int& number, std::vector<UsbEndpoint>& endpoints) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0) return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    bool in = false, out = false;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      ((ep.bEndpointAddress & 0x80) ? in : out) = true;
    }
    if (!in || !out) continue;
    found = true;
    number = alt.bInterfaceNumber;
    endpoints.clear();
    for (int e = 0; e < alt.bNumEndpoints; ++e)
      endpoints.push_back(
          {alt.endpoint[e].bEndpointAddress, static_cast<unsigned char>(alt.endpoint[e].bmAttributes & 3)});
  }
  libusb_free_config_descriptor(config);
  return found;
}

// The active configuration as the device describes it: the descriptors in
// their order, each with its own length, at most 256 bytes.
std::vector<unsigned char> usbConfigBlockOf(libusb_device* dev, DWORD& error) {
  libusb_config_descriptor* c = nullptr;
  if (int r = libusb_get_active_config_descriptor(dev, &c); r != 0) {
    error = win32ErrorFromLibusb(r);
    return {};
  }
  std::vector<unsigned char> out;
  put(out,
      {c->bLength, c->bDescriptorType, c->wTotalLength & 0xFFu, unsigned{c->wTotalLength} >> 8u,
       c->bNumInterfaces, c->bConfigurationValue, c->iConfiguration, c->bmAttributes, c->MaxPower},
      c->bLength);
  putExtra(out, c->extra, c->extra_length);
  for (int i = 0; i < c->bNumInterfaces; ++i) {
    for (int a = 0; a < c->interface[i].num_altsetting; ++a) {
      const libusb_interface_descriptor& d = c->interface[i].altsetting[a];
      put(out,
          {d.bLength, d.bDescriptorType, d.bInterfaceNumber, d.bAlternateSetting, d.bNumEndpoints,
           d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface},
          d.bLength);
      putExtra(out, d.extra, d.extra_length);
      for (int e = 0; e < d.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& p = d.endpoint[e];
        put(out,
            {p.bLength, p.bDescriptorType, p.bEndpointAddress, p.bmAttributes, p.wMaxPacketSize & 0xFFu,
             unsigned{p.wMaxPacketSize} >> 8u, p.bInterval, p.bRefresh, p.bSynchAddress},
            p.bLength);
        putExtra(out, p.extra, p.extra_length);
      }
    }
  }
  libusb_free_config_descriptor(c);
  if (out.size() > 256) out.resize(256);
  if (out.empty()) error = ERROR_GEN_FAILURE;
  return out;
}

std::vector<unsigned char> usbConfigBlock(const std::string& path, DWORD* error) {
  DWORD ignored = ERROR_SUCCESS;
  if (error == nullptr) error = &ignored;
  *error = ERROR_SUCCESS;
  auto context = acquireUsbContext(*error);
  if (!context) return {};
  libusb_device* dev = findUsbDevice(context->ctx, path);
  if (dev == nullptr) {
    *error = ERROR_FILE_NOT_FOUND;
    return {};
  }
  std::vector<unsigned char> block = usbConfigBlockOf(dev, *error);
  libusb_unref_device(dev);
  return block;
}

std::vector<UsbDeviceInfo> listUsbDevices(bool probe) {
  std::vector<std::pair<Location, UsbDeviceInfo>> found;
  {
    DWORD error = ERROR_SUCCESS;
    auto context = acquireUsbContext(error);
    if (!context) return {};
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context->ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || !usbListed({d.idVendor, d.idProduct})) continue;
      UsbDeviceInfo info;
      Location where = locationOf(list[i]);
      info.path = pathOf(where);
      info.node = usbNodeOf(list[i]);
      info.id = {d.idVendor, d.idProduct};
      DWORD ignored = ERROR_SUCCESS;
      info.config = usbConfigBlockOf(list[i], ignored);
      found.emplace_back(where, std::move(info));
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (probe)
      for (auto& entry : found) entry.second.state = probeUsbDevice(entry.second.path);
  }
  std::vector<UsbDeviceInfo> out;
  for (auto& entry : found) out.push_back(std::move(entry.second));
  return out;
}

}  // namespace zor
