// USB bulk instruments through libusb: which may be opened, how they are
// found and named (the pipes are transports: usb_transport.h).
//
// A device path names the physical port ("usb:<bus>-<port>.<port>..."), so an
// instrument plugged back into the same port has the same path. Probing the
// path claims the device's interface (the first with a bulk IN and a bulk OUT
// endpoint) for a moment, to learn whether it can be had; "<path>\PIPEnn"
// opens its nn-th endpoint and holds the claim while any pipe is open. A
// device claimed by another process, or whose interface a kernel driver holds,
// does not open (ERROR_SHARING_VIOLATION); no kernel driver is ever detached.
//
// Only devices whose vendor:product pair is listed (setUsbDeviceIds) are
// seen. One libusb context serves the library while anything USB is in use;
// one event thread completes every transfer, and both end with the last user.
#pragma once

#include <zor/platform.h>

#include <string>
#include <vector>

namespace zor {

struct UsbId {
  WORD vendor = 0;
  WORD product = 0;
  bool operator==(const UsbId&) const = default;
};

// "vvvv:pppp" hexadecimal pairs separated by commas (blanks allowed). Entries
// that are no such pair are skipped and listed in *bad, comma-separated; a
// long entry is cut ("..."), and past about 160 characters the rest are counted ("and N more").
std::vector<UsbId> parseUsbIdList(const std::string& text, std::string* bad = nullptr);

// The instruments the library may open; empty: none.
void setUsbDeviceIds(const std::vector<UsbId>& ids);
// How long closing a pipe waits for its transfers to end ("I/O Timeout"), ms.
void setUsbTransferTimeout(DWORD ms);

struct UsbDeviceInfo {
  std::string path;  // "usb:1-2.3"
  std::string node;  // "/dev/bus/usb/001/004"
  UsbId id;
  // With probing: ERROR_SUCCESS when it can be opened, else why not
  // (ERROR_SHARING_VIOLATION: in use; ERROR_ACCESS_DENIED: no permission on
  // the node; ERROR_FILE_NOT_FOUND: no interface with bulk IN and OUT).
  DWORD state = ERROR_SUCCESS;
  std::vector<unsigned char> config;  // active configuration block; empty when unreadable
};

// The present listed devices in a stable order: bus, then port chain.
// probe: also try whether each can be opened (fills state).
std::vector<UsbDeviceInfo> listUsbDevices(bool probe);

// Whether the device at path can be opened now: ERROR_SUCCESS, or why not
// (as UsbDeviceInfo::state). Its claim is given back at once unless this
// process holds it anyway. Sets usbDeniedNode.
DWORD probeUsbDevice(const std::string& path);

// The active configuration block of the listed device at path, at most 256
// bytes, whether or not it is open; empty with *error set (ERROR_FILE_NOT_FOUND: not present).
std::vector<unsigned char> usbConfigBlock(const std::string& path, DWORD* error);

// The node of the device whose open the calling thread last saw refused for
// lack of permission; empty when none was.
std::string usbDeniedNode();

// Win32 code of a libusb error code.
DWORD win32ErrorFromLibusb(int error);

}  // namespace zor
