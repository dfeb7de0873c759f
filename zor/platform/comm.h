// The communications calls on a serial port handle (a tty opened by CreateFileA
// through a "COMn" name or a /dev path).
//
// What they do to the line is tty_line.h's, shared with the tty transport. A
// tty whose far end is gone (hang-up, unplugged adapter) fails every call with
// ERROR_GEN_FAILURE. Called on a handle that is
// a serial port, they fail with ERROR_INVALID_FUNCTION (ERROR_INVALID_HANDLE when h
// is no handle at all).
#pragma once

#include <zor/comm.h>

#include "zor/platform/platform.h"
#include "zor/platform/tty_line.h"

namespace zor {

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
// GetCommTimeouts and SetCommTimeouts are declared in platform.h.
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, DWORD* mask);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL EscapeCommFunction(HANDLE h, DWORD function);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status);
BOOL GetCommModemStatus(HANDLE h, DWORD* modemStatus);
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);

// A handle kind that is a serial port implements this.
class CommPort {
public:
  virtual ~CommPort() = default;
  // The tty descriptor, or -1 once the handle is closed.
  virtual int commFd() const = 0;
  // Its mutex is held around every communications call and around closing the
  // descriptor, so a call never reaches a descriptor number that was reused.
  virtual CommPortState& commState() = 0;
  // SetCommTimeouts stored new time-outs (called with the state's mutex held).
  virtual void commTimeoutsChanged(const COMMTIMEOUTS&) {}
};

}  // namespace zor
