#include "zor/core/devhandle.h"

#include "zor/core/channel.h"
#include "zor/core/device_p.h"
#include "zor/core/hook_transport.h"
#include "zor/platform/transport_openers.h"

#include <cstring>
#include <utility>

namespace zor {
namespace {

// The names an application's subclass may still pass for a channel of hooks.
bool isHookName(const char* name) {
  return name != nullptr &&
         (std::strcmp(name, "NULL") == 0 || std::strcmp(name, "PB:") == 0 || std::strcmp(name, "TCP") == 0);
}

}  // namespace

bool CDevHandle::Open(const char* inName, const char* outName, int* overlapFlags, DWORD* error) {
  std::unique_lock lock(m_lock);
  if (m_open) return false;
  const bool separateOut = outName != nullptr && outName[0] != '\0';
  if (!separateOut && (*overlapFlags & 3)) *overlapFlags = 3;
  *error = ERROR_SUCCESS;
  m_hooked = m_hooks || isHookName(inName);
  if (m_hooked) {
    m_in = makeHookTransport(m_device, *overlapFlags);
    if (!m_in) *error = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    m_in = openTransport(inName, true, !separateOut, (*overlapFlags & 1) != 0, error);
    if (m_in && separateOut) {
      m_out = openTransport(outName, false, true, (*overlapFlags & 2) != 0, error);
      if (!m_out) m_in.reset();
    }
  }
  if (!m_in) return false;
  m_open = true;
  return true;
}

bool CDevHandle::Close() {
  std::unique_lock lock(m_lock);
  const bool wasOpen = m_open.exchange(false);
  if (m_out) m_out->close();
  if (m_in) m_in->close();
  m_out.reset();
  m_in.reset();
  return wasOpen;
}

bool CDevHandle::Exists(const char* name) const { return isHookName(name) || transportExists(name); }

void CDevHandle::Cancel(bool input) {
  std::shared_lock lock(m_lock);
  if (Transport* t = input ? Input() : Output()) t->cancel(input);
}

ChannelTransport CDevHandle::Use(bool input) const {
  std::shared_lock lock(m_lock);
  Transport* t = m_open ? (input ? Input() : Output()) : nullptr;
  return ChannelTransport(std::move(lock), t);
}

bool CDevHandle::FlushOut() {
  std::shared_lock lock(m_lock);
  Transport* t = Output();
  return t != nullptr && t->flush();
}

}  // namespace zor
