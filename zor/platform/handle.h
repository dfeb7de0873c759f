// The handle table: the objects (events) behind the HANDLEs of the public façade.
//
// A HANDLE is a small number, not a pointer: looking it up yields a shared
// reference, so an object closed by one thread stays valid for a call that
// another thread is still inside, and a stale or foreign handle is refused
// with ERROR_INVALID_HANDLE instead of being dereferenced. Media have no
// HANDLE: the core reaches them as transports (transport.h).
#pragma once

#include <zor/platform.h>

#include <memory>

namespace zor {

class HandleObject {
public:
  virtual ~HandleObject() = default;
};

HANDLE registerHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> lookupHandle(HANDLE h);
// Removes h from the table and returns its object (null when h is not a handle).
std::shared_ptr<HandleObject> unregisterHandle(HANDLE h);

template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(lookupHandle(h));
}

}  // namespace zor
