#include "zor/core/channel.h"

#include "zor/core/device_p.h"

namespace zor {

ChannelTransport deviceTransport(const CDevice& device, bool input) {
  CDevHandle* channel = CDevicePrivate::channelOf(device);
  return channel != nullptr ? channel->Use(input) : ChannelTransport();
}

}  // namespace zor
