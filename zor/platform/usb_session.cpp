// The one libusb context and its event thread, and the claim of a device:
// who may have it, and when it is given back.
#include "zor/platform/usb_session.h"

#include <libusb-1.0/libusb.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <new>
#include <system_error>

namespace zor {

UsbContext::~UsbContext() {
  if (m_events.joinable()) {
    m_stop = true;
    libusb_interrupt_event_handler(ctx);
    m_events.join();
  }
  if (ctx != nullptr) libusb_exit(ctx);
}

bool UsbContext::start() {
  try {
    m_events = std::thread([this] {
      while (!m_stop) libusb_handle_events_completed(ctx, nullptr);
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::shared_ptr<UsbContext> acquireUsbContext(DWORD& error) {
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

std::recursive_mutex& usbSessionsMutex() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

namespace {

std::map<std::string, std::weak_ptr<UsbSession>>& sessions() {
  static auto* m = new std::map<std::string, std::weak_ptr<UsbSession>>;
  return *m;
}

}  // namespace

UsbSession::~UsbSession() {
  std::lock_guard lock(usbSessionsMutex());
  if (handle != nullptr) {
    libusb_release_interface(handle, interface);
    libusb_close(handle);
  }
}

bool UsbSession::anyPipeOpen() const {
  std::lock_guard lock(usbSessionsMutex());
  return std::find(pipesOpen.begin(), pipesOpen.end(), true) != pipesOpen.end();
}

bool UsbSession::takePipe(int n) {
  std::lock_guard lock(usbSessionsMutex());
  if (pipesOpen[static_cast<std::size_t>(n)]) return false;
  pipesOpen[static_cast<std::size_t>(n)] = true;
  return true;
}

void UsbSession::releasePipe(int n) {
  std::lock_guard lock(usbSessionsMutex());
  pipesOpen[static_cast<std::size_t>(n)] = false;
}

std::shared_ptr<UsbSession> openUsbSession(const std::string& path, DWORD& error) {
  std::lock_guard lock(usbSessionsMutex());
  if (auto s = sessions()[path].lock()) return s;
  auto context = acquireUsbContext(error);
  if (!context) return nullptr;
  libusb_device* dev = findUsbDevice(context->ctx, path);
  if (dev == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  std::shared_ptr<UsbSession> s;
  try {
    s = std::make_shared<UsbSession>();
  } catch (const std::bad_alloc&) {
    libusb_unref_device(dev);
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  s->context = context;
  s->path = path;
  int r = LIBUSB_ERROR_NOT_FOUND;
  libusb_device_handle* h = nullptr;
  if (chooseUsbInterface(dev, s->interface, s->endpoints)) {
    r = libusb_open(dev, &h);
    if (r == LIBUSB_ERROR_ACCESS) usbDeniedNodeOfThread() = usbNodeOf(dev);
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

std::shared_ptr<UsbSession> claimUsbDevice(const std::string& path, DWORD& error) {
  usbDeniedNodeOfThread().clear();
  std::shared_ptr<UsbSession> s = openUsbSession(path, error);
  // The device of a program that has its pipes open is in use.
  if (s && s->anyPipeOpen()) {
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  return s;
}

DWORD probeUsbDevice(const std::string& path) {
  DWORD error = ERROR_SUCCESS;
  return claimUsbDevice(path, error) ? ERROR_SUCCESS : error;
}

bool splitUsbName(const char* name, std::string& path, int& pipe) {
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

}  // namespace zor
