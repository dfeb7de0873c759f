// The communications calls on a serial port handle: the port's lock and
// descriptor around the line functions of tty_line.h.
#include "zor/platform/comm.h"

#include "zor/platform/fail.h"
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"

#include <memory>

namespace zor {
namespace {

// Holds the port's lock for one call; fails the call when h is no open serial port.
class PortCall {
public:
  explicit PortCall(HANDLE h) : m_object(lookupHandle(h)) {
    m_port = dynamic_cast<CommPort*>(m_object.get());
    if (m_port == nullptr) return;
    m_lock = std::unique_lock(m_port->commState().mutex);
    m_fd = m_port->commFd();
  }
  bool ok() const {
    if (m_fd >= 0) return true;
    SetLastError(m_object != nullptr && m_port == nullptr ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    return false;
  }
  int fd() const { return m_fd; }
  CommPortState& state() { return m_port->commState(); }
  CommPort& port() { return *m_port; }

private:
  std::shared_ptr<HandleObject> m_object;
  CommPort* m_port = nullptr;
  std::unique_lock<std::mutex> m_lock;
  int m_fd = -1;
};

BOOL result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : fail(error); }

}  // namespace

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  PortCall call(h);
  if (!call.ok()) return FALSE;
  // The kernel sizes its tty queues itself; the request is remembered only.
  call.state().inQueue = inQueue;
  call.state().outQueue = outQueue;
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  return call.ok() && result(lineGetState(call.fd(), call.state(), dcb));
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  return call.ok() && result(lineSetState(call.fd(), call.state(), *dcb));
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  *timeouts = call.state().timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  call.state().timeouts = *timeouts;
  call.port().commTimeoutsChanged(*timeouts);
  return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  PortCall call(h);
  if (!call.ok()) return FALSE;
  call.state().eventMask = mask;
  return TRUE;
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
  if (mask == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  if (!call.ok()) return FALSE;
  *mask = call.state().eventMask;
  return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  PortCall call(h);
  return call.ok() && result(linePurge(call.fd(), flags));
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
  PortCall call(h);
  return call.ok() && result(lineEscape(call.fd(), function));
}

BOOL SetCommBreak(HANDLE h) { return EscapeCommFunction(h, SETBREAK); }

BOOL ClearCommBreak(HANDLE h) { return EscapeCommFunction(h, CLRBREAK); }

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) {
  PortCall call(h);
  return call.ok() && result(lineClearError(call.fd(), call.state(), errors, status));
}

BOOL GetCommModemStatus(HANDLE h, DWORD* modemStatus) {
  if (modemStatus == nullptr) return fail(ERROR_INVALID_PARAMETER);
  PortCall call(h);
  return call.ok() && result(lineModemStatus(call.fd(), modemStatus));
}

}  // namespace zor
