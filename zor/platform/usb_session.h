// What the USB files of the platform layer share: the settings, the one libusb
// context with its event thread, the enumeration helpers and the claimed
// device (a session). Internal to zor/platform/usb_*.cpp.
//
// libusb's types are only named here, so that the files that include this
// header need not include libusb's.
#pragma once

#include "zor/platform/usb.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace zor {

// Whether the vendor:product pair is one the library may open.
bool usbListed(const UsbId& id);
// How long closing a pipe waits for its transfers ("I/O Timeout"), ms.
DWORD usbTransferTimeout();
// Where the calling thread's last refused open is remembered (usbDeniedNode).
std::string& usbDeniedNodeOfThread();

// The one libusb context, alive while a session or an enumeration holds it,
// and the thread that handles its events: every transfer completes there.
class UsbContext {
public:
  libusb_context* ctx = nullptr;
  ~UsbContext();
  bool start();

private:
  std::atomic<bool> m_stop{false};
  std::thread m_events;
};

// The running context, or a new one; null with error set when libusb fails.
std::shared_ptr<UsbContext> acquireUsbContext(DWORD& error);

struct UsbEndpoint {
  unsigned char address;
  unsigned char type;  // LIBUSB_TRANSFER_TYPE_...
  bool input() const { return (address & 0x80) != 0; }
};

// "usb:<bus>-<port>.<port>..." of a device.
std::string usbPathOf(libusb_device* dev);
// The usbfs node of a device.
std::string usbNodeOf(libusb_device* dev);
// A listed device found by its path, referenced; null when it is not present.
libusb_device* findUsbDevice(libusb_context* ctx, const std::string& path);
// The interface a device is used through: the first whose first setting has
// a bulk IN and a bulk OUT endpoint. False when there is none.
bool chooseUsbInterface(libusb_device* dev, int& number, std::vector<UsbEndpoint>& endpoints);
// The active configuration block (at most 256 bytes); empty with error set
// when it cannot be read.
std::vector<unsigned char> usbConfigBlockOf(libusb_device* dev, DWORD& error);

// Guards every session's pipe marks and the table of sessions.
std::recursive_mutex& usbSessionsMutex();

// One device opened by this process, its interface claimed: every pipe on
// the device (and a probe) shares it, and the claim ends with the last of them.
class UsbSession {
public:
  std::shared_ptr<UsbContext> context;
  libusb_device_handle* handle = nullptr;
  int interface = 0;
  std::vector<UsbEndpoint> endpoints;
  std::string path;
  // Pipes open on it, by number; under usbSessionsMutex.
  std::vector<bool> pipesOpen;

  ~UsbSession();
  bool anyPipeOpen() const;
  // Marks pipe n open; false when it already was (one opener per pipe).
  bool takePipe(int n);
  void releasePipe(int n);
};

// The session of the device at path: the one this process holds, or a new
// claim. Null with error set: ERROR_FILE_NOT_FOUND (absent, or no interface
// with bulk IN and OUT), ERROR_SHARING_VIOLATION (claimed elsewhere or held by
// a kernel driver, which is never detached), ERROR_ACCESS_DENIED (no
// permission on the node, which usbDeniedNode then names), ...
std::shared_ptr<UsbSession> openUsbSession(const std::string& path, DWORD& error);

// The device at path claimed without a pipe (a probe): its session, unless
// this process has pipes of it open (ERROR_SHARING_VIOLATION). Clears, then
// sets, usbDeniedNode.
std::shared_ptr<UsbSession> claimUsbDevice(const std::string& path, DWORD& error);

// "usb:1-2\PIPE01" → "usb:1-2" and 1; a device path gives pipe -1. False when malformed.
bool splitUsbName(const char* name, std::string& path, int& pipe);

}  // namespace zor
