// An emulated USB serial adapter (/dev/ttyUSB0 in a umockdev test bed) for
// the tests that run under umockdev's preload: the test plays the adapter's
// driver, answering its ioctls, so it controls CTS and DSR and sees every line
// change and the full termios request.
#pragma once

#ifdef ZOR_HAVE_UMOCKDEV
#include <umockdev.h>

#include "support/recorder.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace zortest {

inline constexpr const char* kNode = "/dev/ttyUSB0";

inline bool preloaded() {
  const char* p = std::getenv("LD_PRELOAD");
  return p != nullptr && std::strstr(p, "umockdev-preload") != nullptr;
}

// The adapter's driver as the test writes it.
class EmulatedAdapter {
public:
  // What the driver holds; the test drives the inputs and the error counts.
  struct State {
    termios2 tio{};
    int inputs = TIOCM_CTS | TIOCM_DSR;  // the modem lines the instrument drives
    int outputs = 0;                     // DTR and RTS, as the library set them
    serial_icounter_struct count{};
    std::vector<std::string> events;  // line changes, breaks and flushes, in order
    // Pulled out while the library holds its tty: as a disconnected USB
    // adapter's tty does, every call fails with EIO. (The test bed cannot add
    // a node twice, so plugging back in is the same node answering again.)
    bool gone = false;
  };

  EmulatedAdapter() {
    m_state.tio.c_cflag = BOTHER | CS8 | CREAD | HUPCL;
    m_state.tio.c_ispeed = m_state.tio.c_ospeed = 9600;
    m_state.tio.c_lflag = ICANON | ECHO;
    m_state.tio.c_oflag = OPOST;
    m_bed = umockdev_testbed_new();
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(m_bed,
                                         "P: /devices/pci0000:00/usb1/1-1/ttyUSB0\n"
                                         "N: ttyUSB0\n"
                                         "E: DEVNAME=/dev/ttyUSB0\n"
                                         "E: SUBSYSTEM=tty\n"
                                         "A: dev=188:0\n",
                                         &error)) {
      m_handler = umockdev_ioctl_base_new();
      g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedAdapter::onIoctl), this);
      g_signal_connect(m_handler, "handle-read", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
      g_signal_connect(m_handler, "handle-write", G_CALLBACK(&EmulatedAdapter::onTransfer), this);
      if (!umockdev_testbed_attach_ioctl(m_bed, kNode, m_handler, &error)) {
        g_object_unref(m_handler);
        m_handler = nullptr;
      }
    }
    if (error != nullptr) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
    m_master = ok() ? umockdev_testbed_get_dev_fd(m_bed, kNode) : -1;
    if (m_master >= 0) fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  }
  ~EmulatedAdapter() {
    if (m_handler != nullptr) {
      umockdev_testbed_detach_ioctl(m_bed, kNode, nullptr);
      umockdev_testbed_remove_device(m_bed, "/sys/devices/pci0000:00/usb1/1-1/ttyUSB0");
      g_object_unref(m_handler);
    }
    g_object_unref(m_bed);
  }

  bool ok() const { return m_handler != nullptr; }
  State state() {
    std::lock_guard lock(m_mutex);
    return m_state;
  }
  template <class F>
  void change(F f) {
    std::lock_guard lock(m_mutex);
    f(m_state);
  }

  // Bytes the library sent, until count have come or ms have passed.
  std::string receive(std::size_t count, int ms) {
    std::string out;
    zor_test::waitUntil(
        [&] {
          char buf[256];
          ssize_t n = m_master >= 0 ? ::read(m_master, buf, sizeof buf) : -1;
          if (n > 0) out.append(buf, static_cast<std::size_t>(n));
          return out.size() >= count;
        },
        ms);
    return out;
  }

private:
  // Reads and writes go to the line itself until the adapter is pulled out.
  static gboolean onTransfer(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* me = static_cast<EmulatedAdapter*>(self);
    std::lock_guard lock(me->m_mutex);
    if (!me->m_state.gone) return FALSE;
    umockdev_ioctl_client_complete(client, -1, EIO);
    return TRUE;
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<EmulatedAdapter*>(self)->handle(client);
    return TRUE;
  }

  template <class T>
  T* argument(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    return data != nullptr ? reinterpret_cast<T*>(data->data) : nullptr;
  }

  void handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(m_mutex);
    State& s = m_state;
    unsigned long request = umockdev_ioctl_client_get_request(client);
    int error = s.gone ? EIO : 0;
    switch (error != 0 ? 0 : request) {
      case 0:
        break;
      case TCGETS2:
        if (auto* t = argument<termios2>(client)) *t = s.tio;
        break;
      case TCSETS2:
      case TCSETSW2:
      case TCSETSF2:
        if (auto* t = argument<termios2>(client)) s.tio = *t;
        break;
      case TIOCMGET:
        if (auto* v = argument<int>(client)) *v = s.inputs | s.outputs;
        break;
      case TIOCMBIS:
      case TIOCMBIC:
        if (auto* v = argument<int>(client)) {
          bool on = request == TIOCMBIS;
          if (*v & TIOCM_DTR) s.events.push_back(on ? "DTR+" : "DTR-");
          if (*v & TIOCM_RTS) s.events.push_back(on ? "RTS+" : "RTS-");
          s.outputs = on ? s.outputs | (*v & (TIOCM_DTR | TIOCM_RTS)) : s.outputs & ~*v;
        }
        break;
      case TIOCSBRK:
      case TIOCCBRK:
        s.events.push_back(request == TIOCSBRK ? "BREAK+" : "BREAK-");
        break;
      case TIOCGICOUNT:
        if (auto* c = argument<serial_icounter_struct>(client)) *c = s.count;
        break;
      case TIOCINQ:
      case TIOCOUTQ:
        if (auto* v = argument<int>(client)) *v = 0;
        break;
      case TCFLSH:
        s.events.push_back("FLUSH");
        break;
      case TCXONC:
        break;
      default:  // TIOCGSERIAL and the rest: not this driver's
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
  }

  UMockdevTestbed* m_bed = nullptr;
  UMockdevIoctlBase* m_handler = nullptr;
  int m_master = -1;
  std::mutex m_mutex;
  State m_state;
};

}  // namespace zortest

#endif
