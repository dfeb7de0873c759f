// What a device class reaches of its own channel: the transport behind a
// direction, for the media whose devices program more than bytes (a serial
// line's settings and modem lines, a USB instrument's configuration). Devices
// tell their medium's transport with as<T>().
#pragma once

#include "zor/platform/transport.h"

#include <shared_mutex>
#include <utility>

namespace zor {

class CDevice;

// A direction's transport, held for its user: the channel does not close
// while this lives (an application's close, or panic recovery reopening the
// port on its own thread), so a control called from any thread never reaches
// a transport that is gone. Hold it for one call; never across a close of
// the same device, which would wait for it.
class ChannelTransport {
public:
  ChannelTransport() = default;
  ChannelTransport(std::shared_lock<std::shared_mutex> lock, Transport* transport)
      : m_lock(std::move(lock)), m_transport(transport) {}

  // Null while the device is closed.
  Transport* get() const { return m_transport; }
  // The medium's own class, or null when the channel is another medium.
  template <class T>
  T* as() const {
    return dynamic_cast<T*>(m_transport);
  }

private:
  std::shared_lock<std::shared_mutex> m_lock;
  Transport* m_transport = nullptr;
};

ChannelTransport deviceTransport(const CDevice& device, bool input);

}  // namespace zor
