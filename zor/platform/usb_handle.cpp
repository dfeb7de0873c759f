// CreateFileA's USB kind, over the pipe engine the transport uses: the device
// path (the claim held, no pipe) and "<path>\PIPEnn" handles, with
// ReadFile/WriteFile, overlapped or bounded by "I/O Timeout", CancelIo, and
// the configuration block by DeviceIoControl.
#include "zor/platform/fail.h"
#include "zor/platform/handle.h"
#include "zor/platform/usb_pipe.h"

#include <libusb-1.0/libusb.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zor {
namespace {

class UsbHandleBase : public HandleObject {
public:
  explicit UsbHandleBase(std::shared_ptr<UsbSession> s) : m_session(std::move(s)) {}

  BOOL ioControl(DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned,
                 OVERLAPPED* ovl) override {
    if (returned != nullptr) *returned = 0;
    if (code != IOCTL_USB_GET_CONFIG_BLOCK) return fail(ERROR_INVALID_FUNCTION);
    std::shared_ptr<UsbSession> s = session();
    if (!s) return fail(ERROR_INVALID_HANDLE);
    if (out == nullptr || outSize == 0) return fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD error = ERROR_SUCCESS;
    std::vector<unsigned char> block = usbConfigBlockOf(libusb_get_device(s->handle), error);
    if (block.empty()) return fail(error);
    DWORD n = std::min<DWORD>(outSize, static_cast<DWORD>(block.size()));
    std::memcpy(out, block.data(), n);
    if (returned != nullptr) *returned = n;
    if (ovl != nullptr) completeOverlapped(ovl, ERROR_SUCCESS, n);
    return TRUE;
  }

protected:
  std::shared_ptr<UsbSession> session() {
    std::lock_guard lock(m_mutex);
    return m_session;
  }
  void dropSession() {
    std::lock_guard lock(m_mutex);
    m_session.reset();
  }

private:
  std::mutex m_mutex;
  std::shared_ptr<UsbSession> m_session;
};

// The device path opened: the claim held, no pipe.
class UsbDeviceHandle : public UsbHandleBase {
public:
  using UsbHandleBase::UsbHandleBase;
  BOOL close() override {
    dropSession();
    return TRUE;
  }
};

class UsbPipeHandle : public UsbHandleBase {
public:
  UsbPipeHandle(std::shared_ptr<UsbPipe> pipe, bool overlapped)
      : UsbHandleBase(pipe->session()), m_pipe(std::move(pipe)), m_overlapped(overlapped) {}

  BOOL read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) override {
    return transfer(true, buffer, toRead, read, ovl);
  }
  BOOL write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) override {
    return transfer(false, const_cast<void*>(buffer), toWrite, written, ovl);
  }
  BOOL overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) override {
    if (ovl != nullptr && wait && ovl->hEvent == nullptr) m_pipe->waitFor(ovl);
    return HandleObject::overlappedResult(ovl, transferred, wait);
  }
  BOOL cancelIo() override { return m_pipe->cancelAll() ? TRUE : fail(ERROR_INVALID_HANDLE); }
  BOOL flush() override { return TRUE; }
  int readinessFd() override { return m_pipe->input() ? usbAlwaysReadyDescriptor() : -1; }
  BOOL close() override {
    m_pipe->close();
    dropSession();
    return TRUE;
  }

private:
  BOOL transfer(bool isRead, void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl) {
    if (done != nullptr) *done = 0;
    if (m_pipe->input() != isRead) return fail(ERROR_INVALID_FUNCTION);
    if (m_overlapped && ovl != nullptr) return fail(m_pipe->submit(buffer, size, ovl));
    if (ovl != nullptr) beginOverlapped(ovl);
    UsbPipe::Result r = m_pipe->transfer(buffer, size, usbTransferTimeout());
    if (ovl != nullptr) completeOverlapped(ovl, r.error, r.count);
    if (done != nullptr) *done = r.count;
    return r.error == ERROR_SUCCESS ? TRUE : fail(r.error);
  }

  const std::shared_ptr<UsbPipe> m_pipe;
  const bool m_overlapped;
};

HANDLE registerOrFail(std::shared_ptr<HandleObject> object) {
  HANDLE h = registerHandle(std::move(object));
  if (h == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  SetLastError(ERROR_SUCCESS);
  return h;
}

}  // namespace

bool isUsbName(const char* name) { return name != nullptr && strncasecmp(name, "usb:", 4) == 0; }

HANDLE openUsb(const OpenRequest& request) {
  std::string path;
  int pipe = -1;
  if (!splitUsbName(request.name, path, pipe)) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  DWORD error = ERROR_SUCCESS;
  try {
    if (pipe < 0) {
      std::shared_ptr<UsbSession> s = claimUsbDevice(path, error);
      if (!s) return fail(error, INVALID_HANDLE_VALUE);
      return registerOrFail(std::make_shared<UsbDeviceHandle>(s));
    }
    std::shared_ptr<UsbPipe> p = UsbPipe::open(request.name, request.access, error);
    if (!p) return fail(error, INVALID_HANDLE_VALUE);
    return registerOrFail(std::make_shared<UsbPipeHandle>(std::move(p), request.overlapped()));
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
}

}  // namespace zor
