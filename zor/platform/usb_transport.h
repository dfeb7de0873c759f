// One pipe of a USB instrument as a transport: "<path>\PIPEnn" opens the
// nn-th endpoint of the claimed interface (usb.h), and the transport moves
// bytes that one way only (the other fails with ERROR_INVALID_FUNCTION).
//
// A transfer's bound is the caller's: timeoutMs 0 gives the shortest one
// libusb knows (1 ms), since a USB pipe holds nothing that could be taken
// "now". Errors, as the pipe's device judges them: ERROR_FILE_NOT_FOUND once
// the instrument is unplugged, ERROR_INVALID_HANDLE once closed, a stall (its
// halt cleared at once, so the next transfer goes through) ERROR_READ_FAULT
// or ERROR_WRITE_FAULT, a packet larger than the read ERROR_MORE_DATA, a
// write that found no room within its bound ERROR_SEM_TIMEOUT. A fault that
// ends a transfer which moved bytes is reported by the next call, so that the
// bytes are not lost.
#pragma once

#include "zor/platform/transport.h"

#include <atomic>
#include <memory>
#include <string>

namespace zor {

class UsbPipe;

class UsbTransport : public Transport {
public:
  explicit UsbTransport(std::shared_ptr<UsbPipe> pipe);
  ~UsbTransport() override;
  UsbTransport(const UsbTransport&) = delete;
  UsbTransport& operator=(const UsbTransport&) = delete;

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  // An input pipe's reads wait themselves, within their bound: its descriptor
  // is always readable, so that an idle receiver goes straight to the read.
  // An output pipe has none.
  int readableDescriptor() const override;
  bool readIsTheWait() const override { return true; }
  void cancel(bool input) override;
  void close() override;

  // The device path the pipe belongs to ("usb:1-2"), also once closed.
  const std::string& devicePath() const;

private:
  long move(void* buffer, unsigned long size, unsigned long timeoutMs, bool input, DWORD* error);

  std::shared_ptr<UsbPipe> m_pipe;  // stays until destruction: cancel() and close() may meet
  std::atomic<DWORD> m_pending{ERROR_SUCCESS};
};

// Opens "<path>\PIPEnn" (path as listUsbDevices gives it). Null with *error
// set when it cannot be opened: ERROR_FILE_NOT_FOUND (no such listed device
// or pipe), ERROR_SHARING_VIOLATION (the pipe is open already, or the device
// is claimed by another process or held by a kernel driver),
// ERROR_ACCESS_DENIED (no permission on the node: usbDeniedNode names it),
// ERROR_INVALID_PARAMETER (access names one direction, the pipe goes the other).
std::unique_ptr<Transport> openUsbTransport(const char* name, DWORD* error,
                                            DWORD access = GENERIC_READ | GENERIC_WRITE);
// Whether name is a USB one ("usb:..."), the row of the opener table it takes.
bool isUsbName(const char* name);

}  // namespace zor
