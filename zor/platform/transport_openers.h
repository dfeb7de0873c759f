// Reaching a medium by name, and the bridge that serves the media on the
// emulated handles until each has a transport of its own.
#pragma once

#include "zor/platform/transport.h"

namespace zor {

// What an open asks of a medium. overlapped: the engine will call it with
// time bounds and cancel it from another thread (the bridge opens its handle
// for overlapped I/O then); a medium whose calls are all bounded ignores it.
struct TransportRequest {
  const char* name;
  bool forInput;
  bool forOutput;
  bool overlapped;
};

// Asks the constant table of rows (transport_openers.cpp) in order; a name no
// row claims is a path. Null with *error set when the medium cannot be opened.
std::unique_ptr<Transport> openTransport(const char* name, bool forInput, bool forOutput, bool overlapped,
                                         DWORD* error);
// Whether name opens for reading and writing (it is closed again at once).
bool transportExists(const char* name);

// The bridge (handle_transport.cpp): the medium behind today's emulated
// HANDLE. A BRIDGE row of the table opens through it.
std::unique_ptr<Transport> openHandleTransport(const TransportRequest& request, DWORD* error);
// The emulated handle behind a bridged transport, for the devices that still
// program their medium through it (comm calls, the USB control request);
// INVALID_HANDLE_VALUE for any other transport or none.
HANDLE bridgeHandle(const Transport* transport);

}  // namespace zor
