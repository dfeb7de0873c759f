// The host's shared step: construct and open the device the settings select.
#pragma once

#include <zor/device.h>

namespace zor {

class CRunZorSettings;

// The open device, or null (a device that was built but did not open is deleted).
CDevice* openSelectedDevice(const CRunZorSettings& settings);

// Short description of the selected entry, for the host's messages ("NULL", "COM 3", ...).
const char* selectedDeviceName(const CRunZorSettings& settings, char* buffer, int size);

}  // namespace zor
