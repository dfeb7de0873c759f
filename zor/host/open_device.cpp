#include <zor/host.h>

#include "zor/host/device_kinds.h"

#include <cstdio>
#include <memory>

namespace zor {

CDevice* openSelectedDevice(const CRunZorSettings& s) {
  const int flags = (s.GetOverlappedRx() ? 1 : 0) + (s.GetOverlappedTx() ? 2 : 0);
  const DeviceKind& kind = deviceKindAt(s.GetPortIndex());
  std::unique_ptr<CDevice> device(kind.make(s));
  if (device == nullptr || !kind.open(*device, s, flags)) return nullptr;
  return device.release();
}

const char* selectedDeviceName(const CRunZorSettings& s, char* buffer, int size) {
  const int index = s.GetPortIndex();
  const std::string name = CRunZorSettings::PortEntryText(index);
  if (!name.empty())
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", name.c_str());
  else
    std::snprintf(buffer, static_cast<std::size_t>(size), "entry %i", index);
  return buffer;
}

}  // namespace zor
