#include "zor/platform/usb_transport.h"

#include "zor/platform/usb_pipe.h"

#include <strings.h>

#include <new>

namespace zor {
namespace {

long failed(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
  return -1;
}

}  // namespace

UsbTransport::UsbTransport(std::shared_ptr<UsbPipe> pipe) : m_pipe(std::move(pipe)) {}

UsbTransport::~UsbTransport() { close(); }

long UsbTransport::move(void* buffer, unsigned long size, unsigned long timeoutMs, bool input, DWORD* error) {
  if (m_pipe->input() != input) return failed(error, ERROR_INVALID_FUNCTION);
  if (size > 0x7FFFFFFFul) size = 0x7FFFFFFFul;
  DWORD bound = timeoutMs >= INFINITE ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (DWORD pending = m_pending.exchange(ERROR_SUCCESS); pending != ERROR_SUCCESS)
    return failed(error, pending);
  UsbPipe::Result r = m_pipe->transfer(buffer, static_cast<DWORD>(size), bound);
  if (r.count == 0) return r.error == ERROR_SUCCESS ? 0 : failed(error, r.error);
  // What moved is delivered, and a fault that came with it (a stall, a packet
  // larger than the read) is the next call's answer. A bound or a cancel that
  // cut the transfer short is no fault.
  if (r.error != ERROR_SEM_TIMEOUT && r.error != ERROR_OPERATION_ABORTED) m_pending = r.error;
  return static_cast<long>(r.count);
}

long UsbTransport::read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  return move(buffer, size, timeoutMs, true, error);
}

long UsbTransport::write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) {
  // The pipe copies what it sends before the transfer starts.
  return move(const_cast<void*>(data), size, timeoutMs, false, error);
}

int UsbTransport::readableDescriptor() const { return m_pipe->input() ? usbAlwaysReadyDescriptor() : -1; }

void UsbTransport::cancel(bool input) {
  if (m_pipe->input() == input) m_pipe->cancel();
}

void UsbTransport::close() { m_pipe->close(); }

const std::string& UsbTransport::devicePath() const { return m_pipe->session()->path; }

bool isUsbName(const char* name) { return name != nullptr && strncasecmp(name, "usb:", 4) == 0; }

std::unique_ptr<Transport> openUsbTransport(const char* name, DWORD* error, DWORD access) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  if (name == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::shared_ptr<UsbPipe> pipe = UsbPipe::open(name, access, *error);
  if (!pipe) return nullptr;
  std::unique_ptr<Transport> transport(new (std::nothrow) UsbTransport(std::move(pipe)));
  *error = transport ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  return transport;
}

}  // namespace zor
