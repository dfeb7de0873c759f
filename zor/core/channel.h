// What a device class may reach of its own channel beyond the byte streams:
// its medium's transport, for requests of its own (a USB instrument's
// configuration). Devices tell their medium's transport by dynamic_cast.
#pragma once

#include "zor/platform/transport.h"

#include <functional>

namespace zor {

class CDevice;

// Runs use on the transport of the device's input (input true) or output
// while its channel is open; the channel does not close meanwhile, so use is
// short and never closes the device. False, use not called, while closed.
bool withDeviceTransport(const CDevice& device, bool input, const std::function<void(Transport&)>& use);

}  // namespace zor
