// The BRIDGE: a medium served by today's emulated HANDLE behind Transport.
//
// Temporary, and all in this file: each row of the opener table that still
// opens through openHandleTransport goes when its medium's native transport
// takes the row. What it carries until then: CreateFileA by name,
// ReadFile/WriteFile with OVERLAPPED and
// GetOverlappedResult for a bounded transfer, CancelIo for the bound and for
// cancel(), FlushFileBuffers, and the handle itself for the devices that still
// program their medium through it (bridgeHandle).
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/transport_openers.h"

#include <atomic>
#include <new>

namespace zor {
namespace {

constexpr DWORD kOverlappedAttributes = FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING;

class HandleTransport final : public Transport {
public:
  HandleTransport(HANDLE h, bool overlapped) : m_h(h), m_overlapped(overlapped) {
    for (Direction& d : m_dir) {
      d.ovl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      d.cancelled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
  }
  ~HandleTransport() override {
    close();
    for (Direction& d : m_dir) {
      CloseHandle(d.ovl.hEvent);
      CloseHandle(d.cancelled);
    }
  }
  HandleTransport(const HandleTransport&) = delete;
  HandleTransport& operator=(const HandleTransport&) = delete;

  bool ready() const {
    return m_dir[0].ovl.hEvent && m_dir[0].cancelled && m_dir[1].ovl.hEvent && m_dir[1].cancelled;
  }

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override {
    return transfer(true, buffer, size, timeoutMs, error);
  }
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override {
    // The buffer is only ever read from on the write path.
    return transfer(false, const_cast<void*>(data), size, timeoutMs, error);
  }

  int readableDescriptor() const override {
    auto object = lookupHandle(m_h.load());
    return object ? object->readinessFd() : -1;
  }

  void cancel(bool input) override {
    SetEvent(m_dir[input ? 0 : 1].cancelled);
    // A synchronous call waits inside the handle; CancelIo ends it from here.
    // An overlapped one is ended by the thread that issued it (below).
    if (!m_overlapped) CancelIo(m_h.load());
  }

  bool flush() override { return FlushFileBuffers(m_h.load()) != FALSE; }

  void close() override {
    HANDLE h = m_h.exchange(INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }

  HANDLE handle() const { return m_h.load(); }

private:
  struct Direction {
    OVERLAPPED ovl{};
    HANDLE cancelled = nullptr;  // manual reset: a cancel not yet taken by a call
  };

  long transfer(bool input, void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
    Direction& d = m_dir[input ? 0 : 1];
    const HANDLE h = m_h.load();
    if (WaitForSingleObject(d.cancelled, 0) == WAIT_OBJECT_0) {
      ResetEvent(d.cancelled);
      *error = ERROR_OPERATION_ABORTED;
      return -1;
    }
    DWORD n = 0;
    const auto count = static_cast<DWORD>(size);
    if (!m_overlapped) {
      // The medium's own synchronous call: at once for a tty (its read
      // time-outs) or a descriptor, bounded by the pipe for USB.
      SetLastError(ERROR_SUCCESS);
      BOOL ok = input ? ReadFile(h, buffer, count, &n, nullptr) : WriteFile(h, buffer, count, &n, nullptr);
      if (ok) return static_cast<long>(n);
      *error = GetLastError();
      if (*error == ERROR_OPERATION_ABORTED) ResetEvent(d.cancelled);
      return n > 0 ? static_cast<long>(n) : -1;
    }
    SetLastError(ERROR_SUCCESS);
    BOOL ok = input ? ReadFile(h, buffer, count, &n, &d.ovl) : WriteFile(h, buffer, count, &n, &d.ovl);
    if (ok) return static_cast<long>(n);
    DWORD e = GetLastError();
    if (e != ERROR_IO_PENDING) {
      *error = e;
      return -1;
    }
    HANDLE wait[2] = {d.ovl.hEvent, d.cancelled};
    const DWORD r = WaitForMultipleObjects(2, wait, FALSE, static_cast<DWORD>(timeoutMs));
    const bool cancelled = r == WAIT_OBJECT_0 + 1;
    // CancelIo ends the operations the calling thread issued: only this
    // direction's, even when both directions share the handle.
    if (r != WAIT_OBJECT_0) CancelIo(h);
    if (cancelled) ResetEvent(d.cancelled);
    n = 0;
    if (GetOverlappedResult(h, &d.ovl, &n, TRUE)) return static_cast<long>(n);
    e = GetLastError();
    if (n > 0) return static_cast<long>(n);
    // The bound passed: nothing within it, which is no failure.
    if (e == ERROR_OPERATION_ABORTED && !cancelled) return 0;
    *error = e;
    return -1;
  }

  std::atomic<HANDLE> m_h;
  const bool m_overlapped;
  Direction m_dir[2];
};

HANDLE createHandle(const TransportRequest& request) {
  DWORD access = (request.forInput ? GENERIC_READ : 0) | (request.forOutput ? GENERIC_WRITE : 0);
  DWORD attributes = FILE_ATTRIBUTE_NORMAL | (request.overlapped ? kOverlappedAttributes : 0);
  return CreateFileA(request.name, access, 0, nullptr, OPEN_EXISTING, attributes, nullptr);
}

}  // namespace

std::unique_ptr<Transport> openHandleTransport(const TransportRequest& request, DWORD* error) {
  HANDLE h = createHandle(request);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  std::unique_ptr<HandleTransport> transport(new (std::nothrow) HandleTransport(h, request.overlapped));
  if (!transport || !transport->ready()) {
    if (!transport) CloseHandle(h);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return transport;
}

HANDLE bridgeHandle(const Transport* transport) {
  const auto* bridged = dynamic_cast<const HandleTransport*>(transport);
  return bridged != nullptr ? bridged->handle() : INVALID_HANDLE_VALUE;
}

}  // namespace zor
