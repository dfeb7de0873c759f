// USB configuration descriptor blocks for the tests, built field by field.
#pragma once

#include <initializer_list>
#include <vector>

namespace zor_test {

using Block = std::vector<unsigned char>;

inline Block usbInterface(unsigned char number, unsigned char endpoints) {
  return {9, 4, number, 0, endpoints, 0xFF, 0, 0, 0};
}

inline Block usbEndpoint(unsigned char address, unsigned packet, unsigned char attributes = 2) {
  return {7,
          5,
          address,
          attributes,
          static_cast<unsigned char>(packet & 0xFF),
          static_cast<unsigned char>(packet >> 8),
          0};
}

// The configuration descriptor followed by the parts, wTotalLength set to the whole.
inline Block usbConfiguration(unsigned char interfaces, std::initializer_list<Block> parts,
                              unsigned char attributes = 0x80) {
  Block b = {9, 2, 0, 0, interfaces, 1, 0, attributes, 50};
  for (const Block& p : parts) b.insert(b.end(), p.begin(), p.end());
  b[2] = static_cast<unsigned char>(b.size() & 0xFF);
  b[3] = static_cast<unsigned char>(b.size() >> 8);
  return b;
}

// One interface with a bulk OUT endpoint (pipe 0) and a bulk IN endpoint (pipe 1).
inline Block usbBulkPair(unsigned packet, unsigned char attributes = 0x80) {
  return usbConfiguration(1, {usbInterface(0, 2), usbEndpoint(0x02, packet), usbEndpoint(0x81, packet)},
                          attributes);
}

}  // namespace zor_test
