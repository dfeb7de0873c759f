// Fuzz target: a USB configuration descriptor block as a device may return
// it. Any bytes must be walked without reading past them; the dump begins with
// the request's line, and transfer sizes stay within a bulk packet.
#include "zor/devices/usbconfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  auto lines = zor::usbConfigLines(true, data, size);
  if (lines.empty() || lines.front().rfind("DeviceIoControl request completed, success = 1", 0) != 0)
    std::abort();
  int rx = 64, tx = 64;
  zor::usbTransferSizes(data, size, rx, tx);
  if (rx < 1 || rx > 2047 || tx < 1 || tx > 2047) std::abort();
  return 0;
}
