// CDevHandle: a device's channel. It holds the transport of the input and,
// when the output has a name of its own, of the output; or the adaptor that
// serves the owning device's hooks.
#pragma once

#include <zor/platform.h>

#include "zor/core/channel.h"
#include "zor/platform/transport.h"

#include <atomic>
#include <memory>
#include <shared_mutex>

namespace zor {

class CDevice;

class CDevHandle {
public:
  explicit CDevHandle(CDevice* device) : m_device(device) {}
  ~CDevHandle() { Close(); }
  CDevHandle(const CDevHandle&) = delete;
  CDevHandle& operator=(const CDevHandle&) = delete;

  // Opens inName (and outName, when non-empty, for the output alone). One
  // transport for both directions runs both overlapped when either bit of
  // *overlapFlags is set (*overlapFlags becomes 3). False with *error set.
  bool Open(const char* inName, const char* outName, int* overlapFlags, DWORD* error);
  // True when a channel was open.
  bool Close();
  bool IsOpen() const { return m_open.load(); }
  bool Exists(const char* name) const;

  // The transport of a direction; valid while open. Opened before the worker
  // threads start and released after they stopped.
  Transport* Input() const { return m_in.get(); }
  Transport* Output() const { return m_out ? m_out.get() : m_in.get(); }
  void Cancel(bool input);
  bool FlushOut();
  // A direction's transport held open for a device's control from any thread.
  ChannelTransport Use(bool input) const;

  // I/O goes to the device's hooks, whatever the names (SetChannelOwner).
  void SetHooks(bool on) { m_hooks = on; }
  // The open channel serves the device's hooks.
  bool Hooked() const { return m_hooked.load(); }

private:
  CDevice* const m_device;
  std::unique_ptr<Transport> m_in;
  std::unique_ptr<Transport> m_out;  // null: m_in serves both directions
  // Atomic because the application may ask IsDeviceOpen() at any time.
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_hooks{false};
  std::atomic<bool> m_hooked{false};
  // Open and Close replace the transports under it exclusively; Cancel and
  // FlushOut, which other threads call at any time, use them under it shared.
  mutable std::shared_mutex m_lock;
};

}  // namespace zor
