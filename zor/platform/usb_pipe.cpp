#include "zor/platform/usb_pipe.h"

#include <libusb-1.0/libusb.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>

namespace zor {
namespace {

// How long a transfer may outlive its bound before it is given up on.
constexpr auto kGrace = std::chrono::milliseconds(2000);

}  // namespace

int usbAlwaysReadyDescriptor() {
  static int fd = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

struct UsbPipe::Op {
  UsbPipe* pipe = nullptr;
  libusb_transfer* xfer = nullptr;
  std::unique_ptr<unsigned char[]> bounce;
  DWORD capacity = 0;
  void* user = nullptr;  // where a read's bytes go; null once given up on
  bool done = false;
  bool detached = false;  // given up on: it frees itself when it completes
  DWORD error = ERROR_SUCCESS;
  DWORD count = 0;
  ~Op() {
    if (xfer != nullptr) libusb_free_transfer(xfer);
  }
};

void LIBUSB_CALL completeUsbOp(libusb_transfer* xfer) {
  auto* op = static_cast<UsbPipe::Op*>(xfer->user_data);
  op->pipe->completed(op, xfer);
}

UsbPipe::UsbPipe(std::shared_ptr<UsbSession> session, int pipe)
    : m_session(std::move(session)),
      m_pipe(pipe),
      m_endpoint(m_session->endpoints[static_cast<std::size_t>(pipe)]) {}

UsbPipe::~UsbPipe() { close(); }

std::shared_ptr<UsbPipe> UsbPipe::open(const char* name, DWORD access, DWORD& error) {
  usbDeniedNodeOfThread().clear();
  std::string path;
  int pipe = -1;
  if (!splitUsbName(name, path, pipe) || pipe < 0) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  std::shared_ptr<UsbSession> s = openUsbSession(path, error);
  if (!s) return nullptr;
  if (static_cast<std::size_t>(pipe) >= s->endpoints.size()) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const UsbEndpoint& ep = s->endpoints[static_cast<std::size_t>(pipe)];
  if (ep.type != LIBUSB_TRANSFER_TYPE_BULK && ep.type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
    error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  bool reading = (access & GENERIC_READ) != 0, writing = (access & GENERIC_WRITE) != 0;
  if (reading != writing && reading != ep.input()) {
    error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (!s->takePipe(pipe)) {
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  UsbPipe* p = new (std::nothrow) UsbPipe(s, pipe);
  if (p == nullptr) {
    s->releasePipe(pipe);
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  try {
    // A pipe whose transfers never ended is kept, never freed: they still point at it.
    return std::shared_ptr<UsbPipe>(p, [](UsbPipe* q) {
      q->close();
      std::unique_lock lock(q->m_mutex);
      bool idle = q->m_inflight.empty();
      lock.unlock();
      if (idle) delete q;
    });
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;  // the shared pointer's constructor has deleted p
  }
}

bool UsbPipe::prepare(Op& op, void* buffer, DWORD size, unsigned libusbTimeout) {
  op.pipe = this;
  op.done = false;
  op.error = ERROR_SUCCESS;
  op.count = 0;
  if (op.xfer == nullptr && (op.xfer = libusb_alloc_transfer(0)) == nullptr) return false;
  DWORD needed = std::max<DWORD>(size, 1);
  if (op.capacity < needed) {
    op.bounce.reset(new (std::nothrow) unsigned char[needed]);
    op.capacity = op.bounce ? needed : 0;
    if (!op.bounce) return false;
  }
  op.user = buffer;
  if (!input() && size > 0) std::memcpy(op.bounce.get(), buffer, size);
  if (m_endpoint.type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
    libusb_fill_interrupt_transfer(op.xfer, m_session->handle, m_endpoint.address, op.bounce.get(),
                                   static_cast<int>(size), completeUsbOp, &op, libusbTimeout);
  else
    libusb_fill_bulk_transfer(op.xfer, m_session->handle, m_endpoint.address, op.bounce.get(),
                              static_cast<int>(size), completeUsbOp, &op, libusbTimeout);
  return true;
}

UsbPipe::Result UsbPipe::transfer(void* buffer, DWORD size, DWORD timeoutMs) {
  if ((buffer == nullptr && size > 0) || size > 0x7FFFFFFF) return {ERROR_INVALID_PARAMETER, 0};
  std::unique_ptr<Op> op;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return {ERROR_INVALID_HANDLE, 0};
    op = std::move(m_spare);
  }
  if (!op) op.reset(new (std::nothrow) Op);
  // libusb's 0 is no bound at all; the shortest it knows is 1 ms.
  bool unbounded = timeoutMs == INFINITE || timeoutMs > static_cast<DWORD>(INT_MAX);
  unsigned libusbTimeout = unbounded ? 0 : std::max<DWORD>(timeoutMs, 1);
  if (!op || !prepare(*op, buffer, size, libusbTimeout)) return {ERROR_NOT_ENOUGH_MEMORY, 0};

  std::unique_lock lock(m_mutex);
  auto keep = [&] {
    if (!m_spare) m_spare = std::move(op);
  };
  if (m_closed) return {ERROR_INVALID_HANDLE, 0};
  if (m_cancelNext) {
    m_cancelNext = false;
    keep();
    return {ERROR_OPERATION_ABORTED, 0};
  }
  if (int r = libusb_submit_transfer(op->xfer); r != 0) {
    keep();
    return {win32ErrorFromLibusb(r), 0};
  }
  Op* raw = op.release();
  m_inflight.push_back(raw);
  m_waiting = raw;
  auto ended = [raw] { return raw->done || raw->detached; };
  if (unbounded) {
    m_changed.wait(lock, ended);
  } else if (!m_changed.wait_for(lock, std::chrono::milliseconds(libusbTimeout) + kGrace, ended)) {
    libusb_cancel_transfer(raw->xfer);
    m_changed.wait_for(lock, kGrace, ended);
  }
  m_waiting = nullptr;
  if (!raw->done) {
    // The transfer never ends: it must not reach the caller's buffer later.
    raw->detached = true;
    raw->user = nullptr;
    return {ERROR_OPERATION_ABORTED, 0};
  }
  op.reset(raw);
  Result result{op->error, op->count};
  keep();
  return result;
}

// Runs on the event thread.
void UsbPipe::completed(Op* op, libusb_transfer* xfer) {
  const bool isRead = input();
  DWORD count = static_cast<DWORD>(std::max(xfer->actual_length, 0));
  DWORD error = ERROR_SUCCESS;
  switch (xfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      break;
    case LIBUSB_TRANSFER_TIMED_OUT:
      // A read that found nothing in time is an empty read; a write that
      // could not go out in time failed.
      if (!isRead && count < static_cast<DWORD>(xfer->length)) error = ERROR_SEM_TIMEOUT;
      break;
    case LIBUSB_TRANSFER_CANCELLED:
      // What arrived before the cancel is delivered, not lost.
      if (count == 0) error = ERROR_OPERATION_ABORTED;
      break;
    case LIBUSB_TRANSFER_STALL:
      // The halt is cleared so that the next transfer goes through.
      libusb_clear_halt(m_session->handle, m_endpoint.address);
      error = isRead ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
      break;
    case LIBUSB_TRANSFER_NO_DEVICE:
      error = ERROR_FILE_NOT_FOUND;
      break;
    case LIBUSB_TRANSFER_OVERFLOW:
      error = ERROR_MORE_DATA;
      break;
    default:
      error = isRead ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
      break;
  }
  std::lock_guard lock(m_mutex);
  m_inflight.remove(op);
  if (isRead && count > 0 && op->user != nullptr) std::memcpy(op->user, op->bounce.get(), count);
  if (op->detached) {
    delete op;
  } else {
    op->error = error;
    op->count = count;
    op->done = true;
  }
  m_changed.notify_all();
}

void UsbPipe::cancel() {
  std::lock_guard lock(m_mutex);
  if (m_closed) return;
  if (m_waiting != nullptr && !m_waiting->done)
    libusb_cancel_transfer(m_waiting->xfer);
  else
    m_cancelNext = true;
}

bool UsbPipe::close() {
  {
    std::unique_lock lock(m_mutex);
    if (m_closed) return false;
    m_closed = true;
    for (Op* op : m_inflight) libusb_cancel_transfer(op->xfer);
    m_changed.wait_for(lock, std::chrono::milliseconds(usbTransferTimeout()) + kGrace,
                       [this] { return m_inflight.empty(); });
    // Those that never end are cut off from their callers, who stop waiting.
    for (Op* op : m_inflight) {
      op->detached = true;
      op->user = nullptr;
    }
    m_changed.notify_all();
  }
  m_session->releasePipe(m_pipe);
  return true;
}

}  // namespace zor
