// CreateFileA: the table of the kinds it opens by name.
#include "zor/platform/fail.h"
#include "zor/platform/opener.h"
#include "zor/platform/usb.h"

namespace zor {
namespace {

// The kinds CreateFileA serves by name, asked in this order; a plain path is
// a transport of its own (file_transport.h), no handle. Constant, so that it
// needs no start-up: any code, at any time, opens through the same kinds.
struct OpenerEntry {
  bool (*claims)(const char* name);
  HANDLE (*open)(const OpenRequest& request);
};

constexpr OpenerEntry kOpeners[] = {
    {isUsbName, openUsb},
};

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                   DWORD attributes, HANDLE) {
  if (name == nullptr || *name == '\0') {
    fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  OpenRequest request{name, access, share, sa, disposition, attributes};
  for (const OpenerEntry& kind : kOpeners)
    if (kind.claims(name)) return kind.open(request);
  fail(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

}  // namespace zor
