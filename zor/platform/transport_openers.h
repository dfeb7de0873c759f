// Reaching a medium by name: one row per medium (transport_openers.cpp).
#pragma once

#include "zor/platform/transport.h"

namespace zor {

// What an open asks of a medium. overlapped: the engine will call it with
// time bounds and cancel it from another thread; every medium's calls are
// bounded, so none needs it today.
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

}  // namespace zor
