// The handle table and the base of every kind of handle.
//
// A HANDLE is a small number, not a pointer: looking it up yields a shared
// reference, so an object closed by one thread stays valid for a call that
// another thread is still inside, and a stale or foreign handle is refused
// with ERROR_INVALID_HANDLE instead of being dereferenced.
#pragma once

#include <zor/platform.h>

#include <memory>

namespace zor {

class HandleObject {
public:
  virtual ~HandleObject() = default;

  // I/O operations; a kind implements those that make sense for it. The
  // defaults fail with ERROR_INVALID_HANDLE.
  virtual BOOL read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl);
  virtual BOOL write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl);
  // Default: reads the OVERLAPPED's status, waiting on its event when asked.
  virtual BOOL overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait);
  virtual BOOL cancelIo();
  virtual BOOL flush();
  // The descriptor a thread may wait on until the handle can be read without
  // waiting; -1 when the kind has none worth waiting on.
  virtual int readinessFd() { return -1; }
  // Called once by CloseHandle: end pending operations, release the descriptor.
  virtual BOOL close() { return TRUE; }
};

HANDLE registerHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> lookupHandle(HANDLE h);
// Removes h from the table and returns its object (null when h is not a handle).
std::shared_ptr<HandleObject> unregisterHandle(HANDLE h);

template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(lookupHandle(h));
}

// Marks an overlapped operation finished: stores result and count, then signals its event.
void completeOverlapped(OVERLAPPED* ovl, DWORD error, DWORD transferred);
// Marks it running: status pending, count 0, event reset.
void beginOverlapped(OVERLAPPED* ovl);

}  // namespace zor
