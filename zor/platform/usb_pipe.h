// One endpoint of a claimed interface and the transfers on it, under the USB
// transport. Internal to zor/platform/usb_*.cpp.
//
// Every transfer is an asynchronous libusb transfer that completes on the one
// event thread; a caller that waits for one waits on the pipe's condition. A
// transfer runs on a buffer of the pipe's own, so one that outlives its
// caller (given up on after its bound and a grace) never reaches the caller's
// memory.
#pragma once

#include "zor/platform/usb_session.h"

#include <condition_variable>
#include <list>
#include <memory>

struct libusb_transfer;

namespace zor {

class UsbPipe {
public:
  // Pipe n ("<path>\PIPEnn") of the device, which this process then holds
  // until the pipe closes. access: GENERIC_READ and/or GENERIC_WRITE; a pipe
  // opened for one direction must go that way. Null with error set
  // (ERROR_FILE_NOT_FOUND: no such device or pipe, ERROR_SHARING_VIOLATION:
  // the pipe is open already or the device is someone else's, ...).
  static std::shared_ptr<UsbPipe> open(const char* name, DWORD access, DWORD& error);
  ~UsbPipe();
  UsbPipe(const UsbPipe&) = delete;
  UsbPipe& operator=(const UsbPipe&) = delete;

  bool input() const { return m_endpoint.input(); }

  struct Result {
    DWORD error;  // ERROR_SUCCESS, or why the transfer failed
    DWORD count;  // bytes moved, also when it failed
  };
  // Moves at most size bytes and waits for the end: at most timeoutMs (0:
  // the shortest bound libusb knows; INFINITE: none) and a grace, then the
  // transfer is cancelled. A read that found nothing in time is empty and
  // succeeds; a write that could not go out in time fails (ERROR_SEM_TIMEOUT).
  // cancel() ends the wait at once.
  Result transfer(void* buffer, DWORD size, DWORD timeoutMs);

  // Cancels the transfer that waits in transfer(), or when none does, makes
  // the next one return ERROR_OPERATION_ABORTED without starting.
  void cancel();
  // Ends every transfer, waits a bound for them, and gives the pipe back to
  // the session. False when it was closed already.
  bool close();

  // The device the pipe is on, which it holds until it is destroyed.
  std::shared_ptr<UsbSession> session() const { return m_session; }

private:
  struct Op;
  friend void completeUsbOp(libusb_transfer* xfer);
  UsbPipe(std::shared_ptr<UsbSession> session, int pipe);
  // A transfer ready to submit on op's buffer; false when out of memory.
  bool prepare(Op& op, void* buffer, DWORD size, unsigned libusbTimeout);
  void completed(Op* op, libusb_transfer* xfer);

  const std::shared_ptr<UsbSession> m_session;
  const int m_pipe;
  const UsbEndpoint m_endpoint;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::list<Op*> m_inflight;
  std::unique_ptr<Op> m_spare;  // the buffer transfer() reuses
  Op* m_waiting = nullptr;      // the transfer transfer() waits for
  bool m_cancelNext = false;
  bool m_closed = false;
};

// A descriptor that always reads as ready: an input pipe's read itself waits
// for data, within its bound.
int usbAlwaysReadyDescriptor();

}  // namespace zor
