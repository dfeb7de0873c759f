// Emulated USB instruments (usbfs nodes in a umockdev test bed) for the tests
// that run under umockdev's preload: the test plays the kernel's side of each
// device, answering libusb's URB submits, reaps and cancels, claims and halt
// clears. An instrument echoes what it receives on its bulk OUT endpoint on
// its bulk IN endpoint; the test can make it stall, fall silent or vanish.
#pragma once

#ifdef ZOR_HAVE_UMOCKDEV
#include "support/usb_blocks.h"
#include "zor/devices/usbconfig.h"

#include <umockdev.h>

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor_test {

inline bool umockdevPreloaded() {
  const char* p = std::getenv("LD_PRELOAD");
  return p != nullptr && std::strstr(p, "umockdev-preload") != nullptr;
}

inline std::string hexOf(const Block& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// The device side of one instrument, as its usbfs node answers.
struct Instrument {
  // What the test sets.
  bool claimedElsewhere = false;
  bool stallNextOut = false;  // the next OUT transfer stalls, once
  bool silent = false;        // takes nothing on OUT, sends nothing on IN
  bool gone = false;          // unplugged: every request fails, transfers end with ENODEV
  // What the test reads.
  int clearHalts = 0;
  bool claimed = false;         // this process holds its interface
  std::size_t bytesIn = 0;      // reached the instrument on OUT
  std::vector<int> inRequests;  // buffer lengths of the first IN transfers
  std::size_t flying() const { return in.size() + out.size(); }

  unsigned packet = 64;
  std::deque<Block> packets;  // to send on IN
  std::vector<UMockdevIoctlData*> in, out;
  std::deque<UMockdevIoctlData*> reap;
};

class EmulatedInstruments {
public:
  // Device k on port 1-(k+1), each with its configuration block.
  explicit EmulatedInstruments(const std::vector<Block>& configs) {
    m_bed = umockdev_testbed_new();
    for (std::size_t k = 0; k < configs.size(); ++k) {
      auto inst = std::make_unique<Instrument>();
      int rx = 64, tx = 64;
      zor::usbTransferSizes(configs[k].data(), configs[k].size(), rx, tx);
      inst->packet = static_cast<unsigned>(rx);
      m_devices.push_back(std::move(inst));
    }
    for (std::size_t k = 0; k < configs.size(); ++k) {
      std::string addr = std::to_string(k + 2);
      std::string node = "/dev/bus/usb/001/00" + addr;
      auto* handler = umockdev_ioctl_base_new();
      m_bindings.push_back({this, m_devices[k].get()});
      g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&EmulatedInstruments::onIoctl),
                       &m_bindings.back());
      GError* error = nullptr;
      if (!umockdev_testbed_attach_ioctl(m_bed, node.c_str(), handler, &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
      }
      m_handlers.push_back(handler);
      m_nodes.push_back(node);
      Block device = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x34, 0x12, 0x01, 0xAB, 0, 1, 1, 2, 3, 1};
      Block all = device;
      all.insert(all.end(), configs[k].begin(), configs[k].end());
      std::string text = "P: /devices/pci0000:00/usb1/1-" + std::to_string(k + 1) + "\nN: bus/usb/001/00" +
                         addr + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=00" +
                         addr + "\nE: DEVNAME=" + node + "\nA: busnum=1\\n\nA: devnum=" + addr +
                         "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + hexOf(all) +
                         "\n";
      if (!umockdev_testbed_add_from_string(m_bed, text.c_str(), &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
      }
    }
  }
  ~EmulatedInstruments() {
    for (std::size_t k = 0; k < m_handlers.size(); ++k) {
      umockdev_testbed_detach_ioctl(m_bed, m_nodes[k].c_str(), nullptr);
      g_object_unref(m_handlers[k]);
    }
    std::lock_guard lock(m_mutex);
    for (auto& d : m_devices) {
      for (auto* list : {&d->in, &d->out})
        for (auto* u : *list) umockdev_ioctl_data_unref(u);
      for (auto* u : d->reap) umockdev_ioctl_data_unref(u);
    }
    g_object_unref(m_bed);
  }

  template <class F>
  void change(std::size_t k, F f) {
    std::lock_guard lock(m_mutex);
    Instrument& d = *m_devices[k];
    f(d);
    if (d.gone) {
      // Unplugged: what was in flight ends as the kernel ends it.
      for (auto* list : {&d.in, &d.out}) {
        for (auto* u : *list) finish(d, u, -ENODEV, 0);
        list->clear();
      }
    }
    pump(d);
  }
  Instrument state(std::size_t k) {
    std::lock_guard lock(m_mutex);
    Instrument copy;
    const Instrument& d = *m_devices[k];
    copy.clearHalts = d.clearHalts;
    copy.claimed = d.claimed;
    copy.bytesIn = d.bytesIn;
    copy.inRequests = d.inRequests;
    copy.in.resize(d.in.size());
    copy.out.resize(d.out.size());
    return copy;
  }
  // The instrument sends one packet of its own.
  void send(std::size_t k, Block packet) {
    change(k, [&](Instrument& d) { d.packets.push_back(std::move(packet)); });
  }

private:
  struct Binding {
    EmulatedInstruments* self;
    Instrument* device;
  };

  static usbdevfs_urb* urbOf(UMockdevIoctlData* u) { return reinterpret_cast<usbdevfs_urb*>(u->data); }

  void finish(Instrument& d, UMockdevIoctlData* u, int status, int actual) {
    urbOf(u)->status = status;
    urbOf(u)->actual_length = actual;
    d.reap.push_back(u);
  }

  // Completes IN transfers with the packets there: each ends at a short packet or when full.
  void pump(Instrument& d) {
    while (!d.silent && !d.gone && !d.in.empty() && !d.packets.empty()) {
      UMockdevIoctlData* u = d.in.front();
      d.in.erase(d.in.begin());
      usbdevfs_urb* urb = urbOf(u);
      auto* dst = static_cast<unsigned char*>(urb->buffer);
      int filled = 0, status = 0;
      while (!d.packets.empty()) {
        Block& p = d.packets.front();
        int room = urb->buffer_length - filled;
        if (static_cast<int>(p.size()) > room) {
          std::memcpy(dst + filled, p.data(), static_cast<std::size_t>(room));
          filled += room;
          status = -EOVERFLOW;  // babble: the packet did not fit
          d.packets.pop_front();
          break;
        }
        std::memcpy(dst + filled, p.data(), p.size());
        filled += static_cast<int>(p.size());
        bool shortPacket = p.size() < d.packet;
        d.packets.pop_front();
        if (shortPacket || filled == urb->buffer_length) break;
      }
      finish(d, u, status, filled);
    }
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer binding) {
    auto* b = static_cast<Binding*>(binding);
    std::lock_guard lock(b->self->m_mutex);
    b->self->handle(*b->device, client);
    return TRUE;
  }

  void handle(Instrument& d, UMockdevIoctlClient* client) {
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    int error = 0;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_data_unref(caps);
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
        error = d.gone ? ENODEV : d.claimedElsewhere ? EBUSY : 0;
        if (error == 0) d.claimed = true;
        break;
      case USBDEVFS_RELEASEINTERFACE:
        error = d.gone ? ENODEV : 0;
        d.claimed = false;
        break;
      case USBDEVFS_CLEAR_HALT:
        ++d.clearHalts;
        error = d.gone ? ENODEV : 0;
        break;
      case USBDEVFS_SUBMITURB: {
        if (d.gone) {
          error = ENODEV;
          break;
        }
        UMockdevIoctlData* u = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(u, offsetof(usbdevfs_urb, buffer), urbOf(u)->buffer_length, nullptr);
        usbdevfs_urb* urb = urbOf(u);
        umockdev_ioctl_data_ref(u);
        if (urb->endpoint & 0x80) {
          if (d.inRequests.size() < 16) d.inRequests.push_back(urb->buffer_length);
          d.in.push_back(u);
        } else if (d.stallNextOut) {
          d.stallNextOut = false;
          finish(d, u, -EPIPE, 0);
        } else if (d.silent) {
          d.out.push_back(u);
        } else {
          auto* src = static_cast<const unsigned char*>(urb->buffer);
          for (int at = 0; at < urb->buffer_length; at += static_cast<int>(d.packet)) {
            int n = std::min(urb->buffer_length - at, static_cast<int>(d.packet));
            d.packets.emplace_back(src + at, src + at + n);
          }
          d.bytesIn += static_cast<std::size_t>(urb->buffer_length);
          finish(d, u, 0, urb->buffer_length);
        }
        if (data != nullptr) umockdev_ioctl_data_unref(data);
        umockdev_ioctl_data_unref(u);
        pump(d);
        break;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        if (d.reap.empty()) {
          error = d.gone ? ENODEV : EAGAIN;
          break;
        }
        UMockdevIoctlData* u = d.reap.front();
        d.reap.pop_front();
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(ptr, 0, u);
        umockdev_ioctl_data_unref(ptr);
        umockdev_ioctl_data_unref(u);
        break;
      }
      case USBDEVFS_DISCARDURB: {
        auto addr = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
        error = EINVAL;
        for (auto* list : {&d.in, &d.out}) {
          auto it = std::find_if(list->begin(), list->end(), [&](auto* u) { return u->client_addr == addr; });
          if (it == list->end()) continue;
          finish(d, *it, -ENOENT, 0);
          list->erase(it);
          error = 0;
          break;
        }
        break;
      }
      default:
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
  }

  UMockdevTestbed* m_bed = nullptr;
  std::vector<UMockdevIoctlBase*> m_handlers;
  std::vector<std::string> m_nodes;
  std::vector<std::unique_ptr<Instrument>> m_devices;
  std::deque<Binding> m_bindings;
  std::mutex m_mutex;
};

}  // namespace zor_test

#endif
