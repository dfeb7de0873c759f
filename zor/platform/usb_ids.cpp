// The instruments the library may open and the bound of a transfer, as the
// library's users set them, and the Win32 codes of libusb's errors.
#include "zor/platform/usb_session.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zor {
namespace {

struct UsbSettings {
  std::mutex mutex;
  std::vector<UsbId> ids;
  std::atomic<DWORD> timeoutMs{100};
};

UsbSettings& settings() {
  static auto* s = new UsbSettings;
  return *s;
}

}  // namespace

bool usbListed(const UsbId& id) {
  UsbSettings& s = settings();
  std::lock_guard lock(s.mutex);
  return std::find(s.ids.begin(), s.ids.end(), id) != s.ids.end();
}

DWORD usbTransferTimeout() { return settings().timeoutMs.load(); }

std::string& usbDeniedNodeOfThread() {
  thread_local std::string node;
  return node;
}

std::string usbDeniedNode() { return usbDeniedNodeOfThread(); }

void setUsbDeviceIds(const std::vector<UsbId>& ids) {
  UsbSettings& s = settings();
  std::lock_guard lock(s.mutex);
  s.ids = ids;
}

void setUsbTransferTimeout(DWORD ms) { settings().timeoutMs = ms > 0 ? ms : 1; }

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

}  // namespace zor
