// The one interface between the device core and a medium.
//
// The core (zor/core/) reaches every medium through this header alone: a
// tty, a USB bulk pair, a local pipe pair, a TCP connection, a file, and the
// adaptor that serves a device's own hooks (loopback, playback, an
// application's CDevice subclass). Each medium implements Transport in one
// file of zor/platform/ (the only folder that includes POSIX, Linux or libusb
// headers) and is reached by name through one row of the opener table
// (transport_openers.cpp), or built by its device class directly.
//
// Rules every implementation keeps, because the core relies on them:
// - read and write never block longer than their time bound, and cancel()
//   from another thread ends a wait at once (the call then returns what it
//   had moved; -1 with ERROR_OPERATION_ABORTED when nothing moved).
// - A read and a write may run at the same time on two threads (the RX and TX
//   worker); two reads (or two writes) never do.
// - Errors are the Win32 codes a device's on_io_error and the open report
//   (ERROR_BROKEN_PIPE when the peer is gone, ERROR_GEN_FAILURE for a failed
//   device, ...), so that a device judges them whatever the medium.
// - Nothing here allocates per transfer.
#pragma once

#include <zor/platform.h>

#include <memory>

namespace zor {

class Transport {
public:
  virtual ~Transport() = default;

  // Moves at most size bytes from the medium into buffer. timeoutMs 0: takes
  // what is there now and returns at once; otherwise waits at most that long
  // for the first byte, then returns what is there. Returns the count (0:
  // nothing within the bound), or -1 with *error set.
  virtual long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) = 0;

  // Moves at most size bytes to the medium, waiting at most timeoutMs for room
  // (0: only what fits now). Returns the count taken (which may be less than
  // size), or -1 with *error set.
  virtual long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) = 0;

  // A descriptor that is readable whenever read would not wait (data, the end
  // of the data or an error), for the idle receiver's wait; -1 when the medium
  // has none and wakes the device's receiver itself (hooks), or when reads
  // never wait (a regular file).
  virtual int readableDescriptor() const { return -1; }

  // True when the medium's reads are themselves the wait for data (a USB
  // pipe: nothing arrives unless a transfer is pending). The receiver then
  // bounds every read by "I/O Timeout" (at a paced granularity, by its
  // slice), overlapped or not, rather than reading at once after an idle
  // wait that such a medium cannot serve.
  virtual bool readIsTheWait() const { return false; }

  // Ends at once a read (input true) or write (input false) that waits on
  // another thread. A cancel that finds no call of that direction waiting is
  // kept for the next one, which then returns at once: a cancel issued just
  // before a call begins is not lost. A write still places what the medium
  // takes at once before it ends at a kept cancel: a close's cancel follows
  // its drain, and the chunk taken from the ring by then is not dropped.
  // Safe at any time, also while closing.
  virtual void cancel(bool input) = 0;

  // Waits until what was written has left for the medium (a tty's tcdrain);
  // true when there is nothing to wait for.
  virtual bool flush() { return true; }

  // Releases the medium. Further calls fail with ERROR_INVALID_HANDLE. The
  // destructor closes too.
  virtual void close() = 0;
};

}  // namespace zor
