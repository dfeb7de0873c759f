#include "zor/devices/usbconfig.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace zor {
namespace {

enum class Descriptor { Configuration, Interface, Endpoint };

constexpr std::size_t kConfigurationSize = 9, kInterfaceSize = 9, kEndpointSize = 7;

// A descriptor of at least `fields` bytes whose own length keeps it inside the block.
bool fits(const unsigned char* b, std::size_t offset, std::size_t limit, std::size_t fields) {
  return offset + fields <= limit && b[offset] >= fields && offset + b[offset] <= limit;
}

// Calls visit(kind, offset, number) for the configuration, each interface
// (numbered over the block) and each of its endpoints (numbered within it).
// Returns false when the walk stopped before wTotalLength: a descriptor that
// is too short or runs past the bytes there.
template <class Visit>
bool walk(const unsigned char* b, std::size_t size, Visit visit) {
  if (b == nullptr || !fits(b, 0, size, kConfigurationSize)) return false;
  const std::size_t total = b[2] | (std::size_t{b[3]} << 8);
  const std::size_t limit = std::min(total, size);
  visit(Descriptor::Configuration, 0, 0);
  std::size_t offset = b[0];
  for (int itf = 0; offset < limit; ++itf) {
    if (!fits(b, offset, limit, kInterfaceSize)) return false;
    visit(Descriptor::Interface, offset, itf);
    const int endpoints = b[offset + 4];
    offset += b[offset];
    for (int ep = 0; ep < endpoints; ++ep) {
      if (!fits(b, offset, limit, kEndpointSize)) return false;
      visit(Descriptor::Endpoint, offset, ep);
      offset += b[offset];
    }
  }
  return limit == total;
}

unsigned word(const unsigned char* p) { return p[0] | (unsigned{p[1]} << 8); }

const char* typeName(unsigned type) {
  static const char* const kNames[] = {
      "USB_DEVICE_DESCRIPTOR_TYPE",       "USB_CONFIGURATION_DESCRIPTOR_TYPE",
      "USB_STRING_DESCRIPTOR_TYPE",       "USB_INTERFACE_DESCRIPTOR_TYPE",
      "USB_ENDPOINT_DESCRIPTOR_TYPE",     "USB_RESERVED_DESCRIPTOR_TYPE",
      "USB_CONFIG_POWER_DESCRIPTOR_TYPE", "USB_INTERFACE_POWER_DESCRIPTOR_TYPE"};
  return type >= 1 && type <= 8 ? kNames[type - 1] : "??? UNKNOWN!!";
}

const char* powerName(unsigned attributes) {
  switch (attributes & 0xC0) {
    case 0x80:
      return "USB_CONFIG_BUS_POWERED";
    case 0x40:
      return "USB_CONFIG_SELF_POWERED";
    default:
      return "??? UNKNOWN!!";
  }
}

const char* transferName(unsigned attributes) {
  static const char* const kNames[] = {"USB_ENDPOINT_TYPE_CONTROL", "USB_ENDPOINT_TYPE_ISOCHRONOUS",
                                       "USB_ENDPOINT_TYPE_BULK", "USB_ENDPOINT_TYPE_INTERRUPT"};
  return kNames[attributes & 3];
}

class Lines {
public:
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    m_lines.emplace_back(line);
  }
  void header(const char* title) {
    add("===================");
    add("%s", "");
    add("%s", title);
  }
  std::vector<std::string> take() { return std::move(m_lines); }

private:
  std::vector<std::string> m_lines;
};

}  // namespace

void usbTransferSizes(const unsigned char* block, std::size_t size, int& rx, int& tx) {
  walk(block, size, [&](Descriptor kind, std::size_t at, int) {
    if (kind != Descriptor::Endpoint) return;
    // Bulk packets are at most 1024 bytes: the upper bits say nothing about them.
    int packet = static_cast<int>(word(block + at + 4) & 0x7FF);
    if (packet > 0) (block[at + 2] & 0x80 ? rx : tx) = packet;
  });
}

std::vector<std::string> usbConfigLines(bool ok, const unsigned char* block, std::size_t size) {
  Lines out;
  out.add("DeviceIoControl request completed, success = %i nBytes = %i", ok ? 1 : 0, static_cast<int>(size));
  if (!ok) {
    out.add("DeviceIoControl() error, cannot continue.");
    return out.take();
  }
  std::size_t reached = 0;
  bool whole = walk(block, size, [&](Descriptor kind, std::size_t at, int number) {
    const unsigned char* d = block + at;
    reached = at + d[0];
    char title[64];
    switch (kind) {
      case Descriptor::Configuration:
        out.header("USB_CONFIGURATION_DESCRIPTOR");
        out.add("bLength = 0x%x, decimal %i", d[0], d[0]);
        out.add("bDescriptorType = 0x%x (%s)", d[1], typeName(d[1]));
        out.add("wTotalLength = 0x%x, decimal %i", word(d + 2), word(d + 2));
        out.add("bNumInterfaces = 0x%x, decimal %i", d[4], d[4]);
        out.add("bConfigurationValue = 0x%x, decimal %i", d[5], d[5]);
        out.add("iConfiguration = 0x%x, decimal %i", d[6], d[6]);
        out.add("bmAttributes = 0x%x (%s)", d[7], powerName(d[7]));
        out.add("MaxPower = 0x%x, decimal %i", d[8], d[8]);
        out.add("%s", "");
        break;
      case Descriptor::Interface:
        std::snprintf(title, sizeof title, "USB_INTERFACE_DESCRIPTOR #%i", number);
        out.header(title);
        out.add("bLength = 0x%x", d[0]);
        out.add("bDescriptorType = 0x%x (%s)", d[1], typeName(d[1]));
        out.add("bInterfaceNumber = 0x%x", d[2]);
        out.add("bAlternateSetting = 0x%x", d[3]);
        out.add("bNumEndpoints = 0x%x", d[4]);
        out.add("bInterfaceClass = 0x%x", d[5]);
        out.add("bInterfaceSubClass = 0x%x", d[6]);
        out.add("bInterfaceProtocol = 0x%x", d[7]);
        out.add("bInterface = 0x%x", d[8]);
        break;
      case Descriptor::Endpoint:
        std::snprintf(title, sizeof title, "USB_ENDPOINT_DESCRIPTOR for Pipe%02d", number);
        out.header(title);
        out.add("bLength = 0x%x", d[0]);
        out.add("bDescriptorType = 0x%x (%s)", d[1], typeName(d[1]));
        out.add("bEndpointAddress= 0x%x (%s)", d[2], d[2] & 0x80 ? "INPUT" : "OUTPUT");
        out.add("bmAttributes= 0x%x (%s)", d[3], transferName(d[3]));
        out.add("wMaxPacketSize= 0x%x, decimal %i", word(d + 4), word(d + 4));
        out.add("bInterval = 0x%x, decimal %i", d[6], d[6]);
        break;
    }
  });
  if (!whole)
    out.add("The descriptor block is truncated or malformed after byte %i, cannot continue.",
            static_cast<int>(reached));
  return out.take();
}

}  // namespace zor
