// A tty descriptor as a serial line: its exclusive open and its controls.
//
// What the tty transport (tty_transport.cpp) does to a tty: line settings travel as a DCB
// and are translated to and from the kernel's termios2 (so that any rate is
// possible); modem lines, break, queues and counters use their own ioctls.
// Every call is a plain ioctl (never a libc termios wrapper), so the requests
// are exactly what the driver sees.
//
// The line functions return ERROR_SUCCESS or the Win32 code of the failure
// (ERROR_GEN_FAILURE once the far end is gone) and expect the caller to hold
// the state's mutex, so that no call reaches a descriptor number that was
// reused.
#pragma once

#include <zor/comm.h>

#include "zor/platform/platform.h"

#include <mutex>
#include <string>

namespace zor {

// Read and write time-outs of a serial line, kept for those who ask: a
// transfer's bound is its caller's.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

// What a serial line keeps beside its descriptor: the settings termios cannot
// hold, the time-outs and the error counters already reported.
struct CommPortState {
  std::mutex mutex;
  DCB shadow{};  // last DCB written; fields without a termios equivalent are answered from it
  bool haveShadow = false;
  COMMTIMEOUTS timeouts{};
  DWORD eventMask = 0;
  DWORD inQueue = 0;
  DWORD outQueue = 0;
  bool haveCounters = false;
  // Error counters at the last ClearCommError: frame, overrun, parity, break, buffer overrun.
  int counters[5] = {};
};

// True for "COM<n>" with n >= 1 (also with the "\\.\" prefix).
bool isComName(const char* name);

// True for the names the tty row opens: a "COMn" name, or the path of a tty
// node (/dev/tty..., /dev/pts/N) or of a link to one. Never opens the node.
bool isTtyName(const char* name);

// The tty a port name or path stands for: a "COMn" name (also "\\.\COMn")
// resolves through the port links, anything else is a path. Empty: no such port.
std::string ttyPathOf(const char* nameOrPath);

// Opens the tty at path exclusively (an advisory lock that other programs
// using ttys honour, root included), non-blocking, and puts it into the state
// the device expects: raw bytes, receiver on, carrier ignored, reads
// returning at once; the rate stays as it was. A second open, from any
// process, fails with ERROR_SHARING_VIOLATION; a missing device, or a node
// that is no tty, with ERROR_FILE_NOT_FOUND. Returns the descriptor, or -1
// with *error set.
int openExclusiveTty(const char* path, DWORD* error);

// Starts the state of a line just opened: reads return at once, and error
// counters count from now. Takes the state's mutex itself.
void lineStart(int fd, CommPortState& state);

DWORD lineGetState(int fd, const CommPortState& state, DCB* dcb);
// What the line cannot do is refused (ERROR_INVALID_PARAMETER) before anything is touched.
DWORD lineSetState(int fd, CommPortState& state, const DCB& dcb);
DWORD linePurge(int fd, DWORD flags);
// SETRTS ... CLRBREAK, SETXOFF/SETXON, RESETDEV (which does nothing).
DWORD lineEscape(int fd, DWORD function);
// The error bits since the last call (CE_FRAME, ...) and the queue counts.
DWORD lineClearError(int fd, CommPortState& state, DWORD* errors, COMSTAT* status);
DWORD lineModemStatus(int fd, DWORD* modemStatus);

}  // namespace zor
