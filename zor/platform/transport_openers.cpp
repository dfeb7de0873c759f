// The table of media reached by name: one row per medium, asked in order.
#include "zor/platform/transport_openers.h"

#include "zor/platform/file_transport.h"
#include "zor/platform/local_pipe.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/tty_transport.h"
#include "zor/platform/usb_transport.h"

namespace zor {
namespace {

using Opener = std::unique_ptr<Transport> (*)(const TransportRequest& request, DWORD* error);

struct TransportRow {
  bool (*claims)(const char* name);
  Opener open;
};

bool anyPath(const char*) { return true; }

// A medium whose open needs nothing but the name.
template <std::unique_ptr<Transport> (*open)(const char*, DWORD*)>
std::unique_ptr<Transport> byName(const TransportRequest& request, DWORD* error) {
  return open(request.name, error);
}

std::unique_ptr<Transport> openTty(const TransportRequest& request, DWORD* error) {
  return openTtyTransport(request.name, error);
}

// A pipe opened for one direction must go that way; its transfers are always bounded.
std::unique_ptr<Transport> openUsbRow(const TransportRequest& request, DWORD* error) {
  return openUsbTransport(request.name, error,
                          (request.forInput ? GENERIC_READ : 0) | (request.forOutput ? GENERIC_WRITE : 0));
}

// One row per medium reached by name, asked in order. The matchers of
// different rows claim disjoint names; the last row takes the rest.
constexpr TransportRow kRows[] = {
    {isTtyName, openTty},                          // tty ("COMn", a tty's path)
    {isPipeName, byName<openLocalPipeTransport>},  // local pipe ("\\HOST\PIPE\NAME")
    {isUsbName, openUsbRow},                       // USB bulk pipe
    {anyPath, openFileTransport},                  // plain path: a file, a FIFO, a device node
};

}  // namespace

std::unique_ptr<Transport> openTransport(const char* name, bool forInput, bool forOutput, bool overlapped,
                                         DWORD* error) {
  DWORD ignored = 0;
  if (error == nullptr) error = &ignored;
  if (name == nullptr || *name == '\0') {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  const TransportRequest request{name, forInput, forOutput, overlapped};
  for (const TransportRow& row : kRows)
    if (row.claims(name)) return row.open(request, error);
  *error = ERROR_PATH_NOT_FOUND;
  return nullptr;
}

bool transportExists(const char* name) {
  DWORD error = 0;
  return openTransport(name, true, true, false, &error) != nullptr;
}

}  // namespace zor
