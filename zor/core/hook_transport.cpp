// The hook adaptor: a device's hooks (hook_readFile, hook_writeFile, with
// their OVERLAPPED completion) served as a Transport.
#include "zor/core/hook_transport.h"

#include "zor/core/device_p.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace zor {
namespace {

class HookTransport final : public Transport {
public:
  HookTransport(CDevice* device, int overlapFlags) : m_device(device) {
    for (int k = 0; k < 2; ++k) {
      Direction& d = m_dir[k];
      d.overlapped = (overlapFlags & (1 << k)) != 0;
      d.ovl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      d.cancelled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
  }
  ~HookTransport() override {
    for (Direction& d : m_dir) {
      CloseHandle(d.ovl.hEvent);
      CloseHandle(d.cancelled);
    }
  }
  HookTransport(const HookTransport&) = delete;
  HookTransport& operator=(const HookTransport&) = delete;

  bool ready() const {
    return m_dir[0].ovl.hEvent && m_dir[0].cancelled && m_dir[1].ovl.hEvent && m_dir[1].cancelled;
  }

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override {
    return transfer(RX, buffer, size, timeoutMs, error);
  }
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override {
    // The buffer is only ever read from on the write path.
    return transfer(TX, const_cast<void*>(data), size, timeoutMs, error);
  }
  int readableDescriptor() const override {
    const std::atomic<int>* fd = CDevicePrivate::hookDescriptorOf(m_device);
    return fd != nullptr ? fd->load() : -1;
  }
  void cancel(bool input) override {
    Direction& d = m_dir[input ? RX : TX];
    // Raised before the event: a call that sees it lowered finds no cancel to take.
    d.maybeCancelled = true;
    SetEvent(d.cancelled);
  }
  void close() override { m_closed = true; }

private:
  struct Direction {
    bool overlapped = false;
    OVERLAPPED ovl{};
    HANDLE cancelled = nullptr;  // manual reset: a cancel not yet taken by a call
    // Raised by cancel(): spares each call a look at the event (the hot path
    // of a hook device's every transfer).
    std::atomic<bool> maybeCancelled{false};
    // An operation the hook answered pending and has not completed; touched
    // only by the direction's one calling thread.
    bool outstanding = false;
    bool givenUp = false;  // a write that was not waited out: its count answers no later write
    void* buffer = nullptr;
    unsigned long size = 0;
  };

  long transfer(int k, void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) {
    Direction& d = m_dir[k];
    if (m_closed) {
      *error = ERROR_INVALID_HANDLE;
      return -1;
    }
    // A kept cancel ends a read before it starts, but never a write: the
    // bytes are taken from the ring already (a close cancels right after its
    // Commit saw the ring empty), and a hook call cannot be interrupted anyway.
    // An overlapped write's wait below still ends at the cancel.
    if (k == RX && takeCancel(d)) {
      *error = ERROR_OPERATION_ABORTED;
      return -1;
    }
    if (d.outstanding && d.givenUp) {
      // The hook still holds bytes that were given up: it takes no new ones before it has answered.
      if (wait(d, timeoutMs) != WAIT_OBJECT_0) return waitEnded(d, k, error);
      d.outstanding = d.givenUp = false;
    }
    if (!d.outstanding) {
      long n = issue(d, k, buffer, size, error);
      if (n != kPending) return n;
    }
    if (wait(d, timeoutMs) != WAIT_OBJECT_0) return waitEnded(d, k, error);
    d.outstanding = false;
    const auto status = static_cast<DWORD>(d.ovl.Internal);
    if (status != ERROR_SUCCESS) {
      *error = status;
      return -1;
    }
    const auto n =
        static_cast<unsigned long>(std::min<ULONG_PTR>(d.ovl.InternalHigh, std::min(d.size, size)));
    if (k == RX && n > 0 && buffer != d.buffer) std::memmove(buffer, d.buffer, n);
    return static_cast<long>(n);
  }

  static constexpr long kPending = -2;

  // Calls the hook. The thread's last error is cleared first: a hook that
  // fails without saying why must not pass on a stale one (it then fails with
  // ERROR_SUCCESS, which the device's on_io_error judges).
  long issue(Direction& d, int k, void* buffer, unsigned long size, DWORD* error) {
    OVERLAPPED* ovl = nullptr;
    if (k == TX && d.overlapped) {
      // A hook that answers pending may read the bytes after the engine has
      // given them up and refilled its buffer: it gets a copy that stays until
      // it has answered (no second write is issued before that).
      if (m_txCopy.size() < size) {
        try {
          m_txCopy.resize(size);
        } catch (const std::bad_alloc&) {
          *error = ERROR_NOT_ENOUGH_MEMORY;
          return -1;
        }
      }
      if (size > 0) std::memcpy(m_txCopy.data(), buffer, size);
      buffer = m_txCopy.data();
    }
    if (d.overlapped) {
      d.ovl.Internal = STATUS_PENDING;
      d.ovl.InternalHigh = 0;
      ResetEvent(d.ovl.hEvent);
      ovl = &d.ovl;
    }
    unsigned long done = 0;
    SetLastError(ERROR_SUCCESS);
    int ok = k == RX ? CDevicePrivate::hookRead(m_device, nullptr, buffer, size, &done, ovl)
                     : CDevicePrivate::hookWrite(m_device, nullptr, buffer, size, &done, ovl);
    if (ok) return static_cast<long>(std::min(done, size));
    const DWORD e = GetLastError();
    if (ovl == nullptr || e != ERROR_IO_PENDING) {
      *error = e;
      return -1;
    }
    d.outstanding = true;
    d.buffer = buffer;
    d.size = size;
    return kPending;
  }

  static DWORD wait(Direction& d, unsigned long timeoutMs) {
    HANDLE events[2] = {d.ovl.hEvent, d.cancelled};
    return WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(timeoutMs));
  }

  // The wait ended without the hook's answer: by the bound (nothing within
  // it) or by cancel(). A write's bytes count as not taken either way.
  static long waitEnded(Direction& d, int k, DWORD* error) {
    if (k == TX) d.givenUp = true;
    d.maybeCancelled = false;
    if (WaitForSingleObject(d.cancelled, 0) != WAIT_OBJECT_0) return 0;
    ResetEvent(d.cancelled);
    *error = ERROR_OPERATION_ABORTED;
    return -1;
  }

  // Takes a cancel before a call. The event stays the truth and the flag only
  // says it is worth a look: a cancel whose event is set just after this look
  // is taken by the call's wait, or by the next call's.
  static bool takeCancel(Direction& d) {
    if (!d.maybeCancelled.exchange(false)) return false;
    if (WaitForSingleObject(d.cancelled, 0) != WAIT_OBJECT_0) return false;
    ResetEvent(d.cancelled);
    return true;
  }

  CDevice* const m_device;
  Direction m_dir[2];
  std::vector<unsigned char> m_txCopy;  // grows to the largest write, never per transfer
  std::atomic<bool> m_closed{false};
};

}  // namespace

void setHookReadableDescriptor(CDevice* device, int fd) {
  if (std::atomic<int>* slot = device != nullptr ? CDevicePrivate::hookDescriptorOf(device) : nullptr)
    slot->store(fd);
}

std::unique_ptr<Transport> makeHookTransport(CDevice* device, int overlapFlags) {
  std::unique_ptr<HookTransport> transport(new (std::nothrow) HookTransport(device, overlapFlags));
  if (!transport || !transport->ready()) return nullptr;
  return transport;
}

}  // namespace zor
