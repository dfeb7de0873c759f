#include "zor/platform/usb.h"

#include "zor/platform/fail.h"
#include "zor/platform/handle.h"

#include <libusb-1.0/libusb.h>
#include <strings.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace zor {
namespace {

// What the library's users set: the listed instruments and the transfer bound.
struct UsbSettings {
  std::mutex mutex;
  std::vector<UsbId> ids;
  std::atomic<DWORD> timeoutMs{100};
};

UsbSettings& settings() {
  static auto* s = new UsbSettings;
  return *s;
}

bool listed(const UsbId& id) {
  UsbSettings& s = settings();
  std::lock_guard lock(s.mutex);
  return std::find(s.ids.begin(), s.ids.end(), id) != s.ids.end();
}

std::string& deniedNode() {
  thread_local std::string node;
  return node;
}

// The one libusb context, alive while a session or an enumeration holds it,
// and the thread that handles its events: every transfer completes there.
class UsbContext {
public:
  libusb_context* ctx = nullptr;

  ~UsbContext() {
    if (m_events.joinable()) {
      m_stop = true;
      libusb_interrupt_event_handler(ctx);
      m_events.join();
    }
    if (ctx != nullptr) libusb_exit(ctx);
  }

  bool start() {
    try {
      m_events = std::thread([this] {
        while (!m_stop) libusb_handle_events_completed(ctx, nullptr);
      });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

private:
  std::atomic<bool> m_stop{false};
  std::thread m_events;
};

std::shared_ptr<UsbContext> acquireContext(DWORD& error) {
  static auto* mutex = new std::mutex;
  static auto* current = new std::weak_ptr<UsbContext>;
  std::lock_guard lock(*mutex);
  if (auto c = current->lock()) return c;
  std::shared_ptr<UsbContext> c;
  try {
    c = std::make_shared<UsbContext>();
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (int r = libusb_init(&c->ctx); r != 0) {
    c->ctx = nullptr;
    error = win32ErrorFromLibusb(r);
    return nullptr;
  }
  if (!c->start()) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  *current = c;
  return c;
}

struct Location {
  int bus = 0;
  std::vector<int> ports;
  bool operator<(const Location& o) const { return bus != o.bus ? bus < o.bus : ports < o.ports; }
};

Location locationOf(libusb_device* dev) {
  Location where;
  where.bus = libusb_get_bus_number(dev);
  std::uint8_t ports[8];
  int n = libusb_get_port_numbers(dev, ports, 8);
  for (int i = 0; i < n; ++i) where.ports.push_back(ports[i]);
  return where;
}

std::string pathOf(const Location& where) {
  std::string path = "usb:" + std::to_string(where.bus) + "-";
  if (where.ports.empty()) return path + "0";
  for (std::size_t i = 0; i < where.ports.size(); ++i) {
    if (i > 0) path += '.';
    path += std::to_string(where.ports[i]);
  }
  return path;
}

std::string nodeOf(libusb_device* dev) {
  char node[40];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
  return node;
}

struct Endpoint {
  unsigned char address;
  unsigned char type;  // LIBUSB_TRANSFER_TYPE_...
};

// The interface a device is used through: the first whose first setting has
// a bulk IN and a bulk OUT endpoint. False when there is none.
bool chooseInterface(libusb_device* dev, int& number, std::vector<Endpoint>& endpoints) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0) return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    bool in = false, out = false;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      ((ep.bEndpointAddress & 0x80) ? in : out) = true;
    }
    if (!in || !out) continue;
    found = true;
    number = alt.bInterfaceNumber;
    endpoints.clear();
    for (int e = 0; e < alt.bNumEndpoints; ++e)
      endpoints.push_back(
          {alt.endpoint[e].bEndpointAddress, static_cast<unsigned char>(alt.endpoint[e].bmAttributes & 3)});
  }
  libusb_free_config_descriptor(config);
  return found;
}

// One descriptor: its fields, cut or padded to its own length.
void put(std::vector<unsigned char>& out, std::initializer_list<unsigned> fields, unsigned length) {
  std::size_t start = out.size();
  for (unsigned b : fields) out.push_back(static_cast<unsigned char>(b));
  out.resize(start + length);
}

void putExtra(std::vector<unsigned char>& out, const unsigned char* extra, int length) {
  if (extra != nullptr && length > 0) out.insert(out.end(), extra, extra + length);
}

// The active configuration as the device describes it: the descriptors in
// their order, each with its own length, at most 256 bytes.
std::vector<unsigned char> configBlock(libusb_device* dev, DWORD& error) {
  libusb_config_descriptor* c = nullptr;
  if (int r = libusb_get_active_config_descriptor(dev, &c); r != 0) {
    error = win32ErrorFromLibusb(r);
    return {};
  }
  std::vector<unsigned char> out;
  put(out,
      {c->bLength, c->bDescriptorType, c->wTotalLength & 0xFFu, unsigned{c->wTotalLength} >> 8u,
       c->bNumInterfaces, c->bConfigurationValue, c->iConfiguration, c->bmAttributes, c->MaxPower},
      c->bLength);
  putExtra(out, c->extra, c->extra_length);
  for (int i = 0; i < c->bNumInterfaces; ++i) {
    for (int a = 0; a < c->interface[i].num_altsetting; ++a) {
      const libusb_interface_descriptor& d = c->interface[i].altsetting[a];
      put(out,
          {d.bLength, d.bDescriptorType, d.bInterfaceNumber, d.bAlternateSetting, d.bNumEndpoints,
           d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface},
          d.bLength);
      putExtra(out, d.extra, d.extra_length);
      for (int e = 0; e < d.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& p = d.endpoint[e];
        put(out,
            {p.bLength, p.bDescriptorType, p.bEndpointAddress, p.bmAttributes, p.wMaxPacketSize & 0xFFu,
             unsigned{p.wMaxPacketSize} >> 8u, p.bInterval, p.bRefresh, p.bSynchAddress},
            p.bLength);
        putExtra(out, p.extra, p.extra_length);
      }
    }
  }
  libusb_free_config_descriptor(c);
  if (out.size() > 256) out.resize(256);
  return out;
}

// A listed device found by its path, referenced; null when it is not present.
libusb_device* findDevice(libusb_context* ctx, const std::string& path) {
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device* found = nullptr;
  for (ssize_t i = 0; i < n && found == nullptr; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0 || !listed({d.idVendor, d.idProduct})) continue;
    if (pathOf(locationOf(list[i])) == path) found = libusb_ref_device(list[i]);
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return found;
}

std::recursive_mutex& sessionsMutex() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

// One device opened by this process, its interface claimed: every handle on
// the device shares it.
class Session {
public:
  std::shared_ptr<UsbContext> context;
  libusb_device_handle* handle = nullptr;
  int interface = 0;
  std::vector<Endpoint> endpoints;
  std::string path;
  // Pipes open on it, by number; under sessionsMutex.
  std::vector<bool> pipesOpen;

  ~Session() {
    std::lock_guard lock(sessionsMutex());
    if (handle != nullptr) {
      libusb_release_interface(handle, interface);
      libusb_close(handle);
    }
  }
};

std::map<std::string, std::weak_ptr<Session>>& sessions() {
  static auto* m = new std::map<std::string, std::weak_ptr<Session>>;
  return *m;
}

std::shared_ptr<Session> openSession(const std::string& path, DWORD& error) {
  std::lock_guard lock(sessionsMutex());
  if (auto s = sessions()[path].lock()) return s;
  auto context = acquireContext(error);
  if (!context) return nullptr;
  libusb_device* dev = findDevice(context->ctx, path);
  if (dev == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  std::shared_ptr<Session> s;
  try {
    s = std::make_shared<Session>();
  } catch (const std::bad_alloc&) {
    libusb_unref_device(dev);
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  s->context = context;
  s->path = path;
  int r = LIBUSB_ERROR_NOT_FOUND;
  libusb_device_handle* h = nullptr;
  if (chooseInterface(dev, s->interface, s->endpoints)) {
    r = libusb_open(dev, &h);
    if (r == LIBUSB_ERROR_ACCESS) deniedNode() = nodeOf(dev);
  }
  libusb_unref_device(dev);
  // Claimed elsewhere, or bound to a kernel driver: not ours to take.
  if (r == 0 && (r = libusb_claim_interface(h, s->interface)) != 0) libusb_close(h);
  if (r != 0) {
    error = r == LIBUSB_ERROR_BUSY ? ERROR_SHARING_VIOLATION : win32ErrorFromLibusb(r);
    return nullptr;
  }
  s->handle = h;
  s->pipesOpen.assign(s->endpoints.size(), false);
  sessions()[path] = s;
  return s;
}

bool anyPipeOpen(const Session& s) {
  std::lock_guard lock(sessionsMutex());
  return std::find(s.pipesOpen.begin(), s.pipesOpen.end(), true) != s.pipesOpen.end();
}

// A descriptor that always reads as ready: a pipe's read itself waits for data.
int alwaysReadyFd() {
  static int fd = [] {
    int e = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    return e;
  }();
  return fd;
}

// How long a transfer may outlive its bound before it is given up on.
constexpr auto kGrace = std::chrono::milliseconds(2000);

class PipeCore;

struct Op {
  PipeCore* core = nullptr;
  libusb_transfer* xfer = nullptr;
  std::unique_ptr<unsigned char[]> bounce;
  bool isRead = false;
  void* user = nullptr;  // where a read's bytes go; null once given up on
  OVERLAPPED* ovl = nullptr;
  bool done = false;
  bool detached = false;
  DWORD error = ERROR_SUCCESS;
  DWORD count = 0;
  ~Op() {
    if (xfer != nullptr) libusb_free_transfer(xfer);
  }
};

void LIBUSB_CALL onTransfer(libusb_transfer* xfer);

// The state of one open pipe. Transfers in flight point at it, so it lives
// until the last of them has completed (or forever, when one never does).
class PipeCore {
public:
  PipeCore(std::shared_ptr<Session> s, int n) : session(std::move(s)), pipe(n) {
    endpoint = session->endpoints[static_cast<std::size_t>(n)];
  }

  std::shared_ptr<Session> session;
  int pipe;
  Endpoint endpoint{};
  std::mutex mutex;
  std::condition_variable changed;
  std::list<Op*> inflight;
  bool closed = false;

  BOOL transfer(bool isRead, void* buffer, DWORD size, DWORD* done, OVERLAPPED* ovl, bool overlapped) {
    if (done != nullptr) *done = 0;
    if (((endpoint.address & 0x80) != 0) != isRead) return fail(ERROR_INVALID_FUNCTION);
    if ((buffer == nullptr && size > 0) || size > 0x7FFFFFFF) return fail(ERROR_INVALID_PARAMETER);
    bool async = overlapped && ovl != nullptr;
    std::unique_ptr<Op> op(new (std::nothrow) Op);
    if (op) op->core = this;
    if (op) op->xfer = libusb_alloc_transfer(0);
    if (op && op->xfer != nullptr) op->bounce.reset(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
    if (!op || op->xfer == nullptr || !op->bounce) return fail(ERROR_NOT_ENOUGH_MEMORY);
    op->isRead = isRead;
    op->user = buffer;
    op->ovl = async ? ovl : nullptr;
    if (!isRead && size > 0) std::memcpy(op->bounce.get(), buffer, size);
    DWORD timeout = async ? 0 : settings().timeoutMs.load();
    if (endpoint.type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
      libusb_fill_interrupt_transfer(op->xfer, session->handle, endpoint.address, op->bounce.get(),
                                     static_cast<int>(size), onTransfer, op.get(), timeout);
    else
      libusb_fill_bulk_transfer(op->xfer, session->handle, endpoint.address, op->bounce.get(),
                                static_cast<int>(size), onTransfer, op.get(), timeout);

    std::unique_lock lock(mutex);
    if (closed) return fail(ERROR_INVALID_HANDLE);
    if (ovl != nullptr) beginOverlapped(ovl);
    if (int r = libusb_submit_transfer(op->xfer); r != 0) {
      DWORD error = win32ErrorFromLibusb(r);
      if (ovl != nullptr) completeOverlapped(ovl, error, 0);
      return fail(error);
    }
    Op* raw = op.release();
    inflight.push_back(raw);
    if (async) return fail(ERROR_IO_PENDING);

    auto bound = std::chrono::milliseconds(timeout) + kGrace;
    if (!changed.wait_for(lock, bound, [raw] { return raw->done; })) {
      libusb_cancel_transfer(raw->xfer);
      changed.wait_for(lock, kGrace, [raw] { return raw->done; });
    }
    if (!raw->done) {
      // The transfer never ends: it must not reach the caller's buffer later.
      raw->detached = true;
      raw->user = nullptr;
      if (ovl != nullptr) completeOverlapped(ovl, ERROR_OPERATION_ABORTED, 0);
      return fail(ERROR_OPERATION_ABORTED);
    }
    DWORD error = raw->error, count = raw->count;
    delete raw;
    if (ovl != nullptr) completeOverlapped(ovl, error, count);
    lock.unlock();
    if (done != nullptr) *done = count;
    return error == ERROR_SUCCESS ? TRUE : fail(error);
  }

  void cancelAllLocked() {
    for (Op* op : inflight)
      if (!op->done) libusb_cancel_transfer(op->xfer);
  }

  // Runs on the event thread.
  void completed(Op* op, libusb_transfer* xfer) {
    DWORD count = static_cast<DWORD>(std::max(xfer->actual_length, 0));
    DWORD error = ERROR_SUCCESS;
    switch (xfer->status) {
      case LIBUSB_TRANSFER_COMPLETED:
        break;
      case LIBUSB_TRANSFER_TIMED_OUT:
        // A read that found nothing in time is an empty read; a write that
        // could not go out in time failed.
        if (!op->isRead && count < static_cast<DWORD>(xfer->length)) error = ERROR_SEM_TIMEOUT;
        break;
      case LIBUSB_TRANSFER_CANCELLED:
        // What arrived before the cancel is delivered, not lost.
        if (count == 0) error = ERROR_OPERATION_ABORTED;
        break;
      case LIBUSB_TRANSFER_STALL:
        // The halt is cleared so that the next transfer goes through.
        libusb_clear_halt(session->handle, endpoint.address);
        error = op->isRead ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
        break;
      case LIBUSB_TRANSFER_NO_DEVICE:
        error = ERROR_FILE_NOT_FOUND;
        break;
      case LIBUSB_TRANSFER_OVERFLOW:
        error = ERROR_MORE_DATA;
        break;
      default:
        error = op->isRead ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
        break;
    }
    std::lock_guard lock(mutex);
    inflight.remove(op);
    if (op->isRead && count > 0 && op->user != nullptr) std::memcpy(op->user, op->bounce.get(), count);
    if (op->ovl != nullptr || op->detached) {
      if (op->ovl != nullptr && !op->detached) completeOverlapped(op->ovl, error, count);
      delete op;
    } else {
      op->error = error;
      op->count = count;
      op->done = true;
    }
    changed.notify_all();
  }

  // Ends every transfer and waits for them; those that never end are cut off
  // from their callers.
  void close() {
    std::unique_lock lock(mutex);
    if (closed) return;
    closed = true;
    cancelAllLocked();
    changed.wait_for(lock, std::chrono::milliseconds(settings().timeoutMs.load()) + kGrace,
                     [this] { return inflight.empty(); });
    for (Op* op : inflight) {
      if (op->ovl != nullptr && !op->detached) completeOverlapped(op->ovl, ERROR_OPERATION_ABORTED, 0);
      op->detached = true;
      op->user = nullptr;
    }
  }
};

void LIBUSB_CALL onTransfer(libusb_transfer* xfer) {
  Op* op = static_cast<Op*>(xfer->user_data);
  op->core->completed(op, xfer);
}

// A pipe core whose transfers never ended is kept, never freed: they still point at it.
void releaseCore(PipeCore* core) {
  bool idle;
  {
    std::lock_guard lock(core->mutex);
    idle = core->inflight.empty();
  }
  if (idle) delete core;
}

class UsbHandleBase : public HandleObject {
public:
  explicit UsbHandleBase(std::shared_ptr<Session> s) : m_session(std::move(s)) {}

  BOOL ioControl(DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned,
                 OVERLAPPED* ovl) override {
    if (returned != nullptr) *returned = 0;
    if (code != IOCTL_USB_GET_CONFIG_BLOCK) return fail(ERROR_INVALID_FUNCTION);
    std::shared_ptr<Session> s = session();
    if (!s) return fail(ERROR_INVALID_HANDLE);
    if (out == nullptr || outSize == 0) return fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD error = ERROR_SUCCESS;
    std::vector<unsigned char> block = configBlock(libusb_get_device(s->handle), error);
    if (block.empty()) return fail(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    DWORD n = std::min<DWORD>(outSize, static_cast<DWORD>(block.size()));
    std::memcpy(out, block.data(), n);
    if (returned != nullptr) *returned = n;
    if (ovl != nullptr) completeOverlapped(ovl, ERROR_SUCCESS, n);
    return TRUE;
  }

protected:
  std::shared_ptr<Session> session() {
    std::lock_guard lock(m_mutex);
    return m_session;
  }
  std::shared_ptr<Session> takeSession() {
    std::lock_guard lock(m_mutex);
    return std::move(m_session);
  }

private:
  std::mutex m_mutex;
  std::shared_ptr<Session> m_session;
};

// The device path opened: the claim held, no pipe.
class UsbDeviceHandle : public UsbHandleBase {
public:
  using UsbHandleBase::UsbHandleBase;
  BOOL close() override {
    takeSession();
    return TRUE;
  }
};

class UsbPipeHandle : public UsbHandleBase {
public:
  UsbPipeHandle(std::shared_ptr<Session> s, int pipe, bool overlapped)
      : UsbHandleBase(s), m_core(new PipeCore(s, pipe), releaseCore), m_overlapped(overlapped) {}

  ~UsbPipeHandle() override { close(); }

  BOOL read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) override {
    return m_core->transfer(true, buffer, toRead, read, ovl, m_overlapped);
  }
  BOOL write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) override {
    return m_core->transfer(false, const_cast<void*>(buffer), toWrite, written, ovl, m_overlapped);
  }
  BOOL overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) override {
    if (ovl != nullptr && wait && ovl->hEvent == nullptr) {
      std::unique_lock lock(m_core->mutex);
      m_core->changed.wait(lock, [ovl] {
        return std::atomic_ref<ULONG_PTR>(ovl->Internal).load(std::memory_order_acquire) != STATUS_PENDING;
      });
    }
    return HandleObject::overlappedResult(ovl, transferred, wait);
  }
  BOOL cancelIo() override {
    std::lock_guard lock(m_core->mutex);
    if (m_core->closed) return fail(ERROR_INVALID_HANDLE);
    m_core->cancelAllLocked();
    return TRUE;
  }
  BOOL flush() override { return TRUE; }
  int readinessFd() override { return (m_core->endpoint.address & 0x80) ? alwaysReadyFd() : -1; }

  BOOL close() override {
    if (m_closed.exchange(true)) return TRUE;
    m_core->close();
    {
      std::lock_guard lock(sessionsMutex());
      m_core->session->pipesOpen[static_cast<std::size_t>(m_core->pipe)] = false;
    }
    takeSession();
    return TRUE;
  }

private:
  std::shared_ptr<PipeCore> m_core;
  const bool m_overlapped;
  std::atomic<bool> m_closed{false};
};

// "usb:1-2\PIPE01" → "usb:1-2" and 1; a device path gives pipe -1. False when malformed.
bool splitName(const char* name, std::string& path, int& pipe) {
  std::string s(name);
  pipe = -1;
  std::size_t slash = s.rfind('\\');
  if (slash == std::string::npos) {
    path = s;
    return true;
  }
  path = s.substr(0, slash);
  std::string suffix = s.substr(slash + 1);
  if (suffix.size() < 5 || strncasecmp(suffix.c_str(), "PIPE", 4) != 0 || suffix.size() > 10) return false;
  pipe = 0;
  for (std::size_t i = 4; i < suffix.size(); ++i) {
    if (suffix[i] < '0' || suffix[i] > '9') return false;
    pipe = pipe * 10 + (suffix[i] - '0');
  }
  return true;
}

HANDLE registerOrFail(std::shared_ptr<HandleObject> object) {
  HANDLE h = registerHandle(std::move(object));
  if (h == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  SetLastError(ERROR_SUCCESS);
  return h;
}

}  // namespace

std::vector<UsbId> parseUsbIdList(const std::string& text, std::string* bad) {
  constexpr std::size_t kMaxBadEntry = 24, kMaxBadText = 160;
  std::size_t unquoted = 0;
  std::vector<UsbId> ids;
  if (bad != nullptr) bad->clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string entry = text.substr(start, comma - start);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    start = comma + 1;
    if (entry.empty()) continue;
    unsigned v = 0, p = 0;
    int used = 0;
    bool ok = entry.size() == 9 && entry[4] == ':' &&
              std::strspn(entry.c_str(), "0123456789abcdefABCDEF") == 4 &&
              std::strspn(entry.c_str() + 5, "0123456789abcdefABCDEF") == 4 &&
              std::sscanf(entry.c_str(), "%4x:%4x%n", &v, &p, &used) == 2 && used == 9;
    if (ok) {
      UsbId id{static_cast<WORD>(v), static_cast<WORD>(p)};
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    } else if (bad != nullptr) {
      // A message quotes this: a runaway value is cut, not echoed whole.
      if (bad->size() >= kMaxBadText) {
        ++unquoted;
        continue;
      }
      if (!bad->empty()) *bad += ", ";
      *bad += entry.size() <= kMaxBadEntry ? entry : entry.substr(0, kMaxBadEntry - 3) + "...";
    }
  }
  if (unquoted > 0) *bad += " and " + std::to_string(unquoted) + " more";
  return ids;
}

void setUsbDeviceIds(const std::vector<UsbId>& ids) {
  UsbSettings& s = settings();
  std::lock_guard lock(s.mutex);
  s.ids = ids;
}

void setUsbTransferTimeout(DWORD ms) { settings().timeoutMs = ms > 0 ? ms : 1; }

std::string usbDeniedNode() { return deniedNode(); }

DWORD win32ErrorFromLibusb(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return ERROR_SUCCESS;
    case LIBUSB_ERROR_INVALID_PARAM:
      return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_BUSY:
      return ERROR_BUSY;
    case LIBUSB_ERROR_TIMEOUT:
      return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_OVERFLOW:
      return ERROR_MORE_DATA;
    case LIBUSB_ERROR_PIPE:
      return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_INTERRUPTED:
      return ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::vector<UsbDeviceInfo> listUsbDevices(bool probe) {
  std::vector<std::pair<Location, UsbDeviceInfo>> found;
  {
    DWORD error = ERROR_SUCCESS;
    auto context = acquireContext(error);
    if (!context) return {};
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context->ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || !listed({d.idVendor, d.idProduct})) continue;
      UsbDeviceInfo info;
      Location where = locationOf(list[i]);
      info.path = pathOf(where);
      info.node = nodeOf(list[i]);
      info.id = {d.idVendor, d.idProduct};
      DWORD ignored = ERROR_SUCCESS;
      info.config = configBlock(list[i], ignored);
      found.emplace_back(where, std::move(info));
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (probe) {
      for (auto& [where, info] : found) {
        DWORD error = ERROR_SUCCESS;
        auto s = openSession(info.path, error);
        info.state = !s ? error : anyPipeOpen(*s) ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
      }
    }
  }
  std::vector<UsbDeviceInfo> out;
  for (auto& entry : found) out.push_back(std::move(entry.second));
  return out;
}

bool isUsbName(const char* name) { return name != nullptr && strncasecmp(name, "usb:", 4) == 0; }

HANDLE openUsb(const OpenRequest& request) {
  deniedNode().clear();
  std::string path;
  int pipe = -1;
  if (!splitName(request.name, path, pipe)) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  DWORD error = ERROR_SUCCESS;
  std::shared_ptr<Session> s = openSession(path, error);
  if (!s) return fail(error, INVALID_HANDLE_VALUE);
  try {
    if (pipe < 0) {
      // The device of a program that has its pipes open is in use.
      if (anyPipeOpen(*s)) return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
      return registerOrFail(std::make_shared<UsbDeviceHandle>(s));
    }
    if (static_cast<std::size_t>(pipe) >= s->endpoints.size())
      return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    const Endpoint& ep = s->endpoints[static_cast<std::size_t>(pipe)];
    if (ep.type != LIBUSB_TRANSFER_TYPE_BULK && ep.type != LIBUSB_TRANSFER_TYPE_INTERRUPT)
      return fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    // A pipe opened for one direction must go that way.
    bool reading = (request.access & GENERIC_READ) != 0, writing = (request.access & GENERIC_WRITE) != 0;
    bool in = (ep.address & 0x80) != 0;
    if (reading != writing && reading != in) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    {
      std::lock_guard lock(sessionsMutex());
      if (s->pipesOpen[static_cast<std::size_t>(pipe)])
        return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
      s->pipesOpen[static_cast<std::size_t>(pipe)] = true;
    }
    std::shared_ptr<UsbPipeHandle> handle;
    try {
      handle = std::make_shared<UsbPipeHandle>(s, pipe, request.overlapped());
    } catch (...) {
      std::lock_guard lock(sessionsMutex());
      s->pipesOpen[static_cast<std::size_t>(pipe)] = false;
      throw;
    }
    return registerOrFail(std::move(handle));
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
}

}  // namespace zor
