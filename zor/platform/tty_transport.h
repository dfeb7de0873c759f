// A serial port as a transport: a tty held exclusively, non-blocking
// underneath, with the serial controls a serial device needs.
//
// Transfers wait as fd_transport.h tells. A line whose far end has
// gone (hang-up, unplugged adapter) fails transfers and controls with
// ERROR_GEN_FAILURE instead of looking like a quiet line.
//
// The controls keep the meaning of the serial device's members of the same
// name (SetCommState, PurgeComm, ...; tty_line.h does the work): each returns
// TRUE, or FALSE with the thread's last error set (ERROR_INVALID_HANDLE once
// closed).
#pragma once

#include "zor/platform/fd_transport.h"
#include "zor/platform/tty_line.h"

#include <memory>

namespace zor {

class TtyTransport : public DescriptorTransport {
public:
  // Takes the descriptor openExclusiveTty returned.
  explicit TtyTransport(int fd);

  // Returns once the driver's output queue is empty (true); false when the
  // line failed, a cancel of the output or the close ended the wait, or the
  // queue did not shrink for a second (a line held by XOFF or CTS).
  bool flush() override;

  // The kernel sizes its queues itself: the sizes are remembered only.
  BOOL setupComm(DWORD inQueue, DWORD outQueue);
  BOOL getState(DCB* dcb);
  BOOL setState(const DCB* dcb);
  // Reads return at once from the open on (ReadIntervalTimeout MAXDWORD, both
  // totals 0); the bound of a read is its caller's, so these are kept only.
  BOOL getTimeouts(COMMTIMEOUTS* timeouts);
  BOOL setTimeouts(const COMMTIMEOUTS* timeouts);
  BOOL setMask(DWORD mask);
  BOOL getMask(DWORD* mask);
  BOOL purge(DWORD flags);
  BOOL escape(DWORD function);
  BOOL clearError(DWORD* errors, COMSTAT* status);
  BOOL modemStatus(DWORD* status);
  BOOL setBreak() { return escape(SETBREAK); }
  BOOL clearBreak() { return escape(CLRBREAK); }

private:
  long attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) override;
  // Runs f(fd) under the state's lock, or fails when closed.
  template <class F>
  BOOL control(F f);

  CommPortState m_state;  // taken inside the lock close() takes
};

// Opens a serial port by "COMn", "\\.\COMn" or the path of a tty, exclusively
// (see openExclusiveTty). Null with *error set when it cannot be opened.
std::unique_ptr<TtyTransport> openTtyTransport(const char* nameOrPath, DWORD* error);

}  // namespace zor
