// The I/O calls on any handle: each is passed to the handle's own kind.
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"

namespace zor {
namespace {

std::shared_ptr<HandleObject> find(HANDLE h) {
  auto object = lookupHandle(h);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

}  // namespace

BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) {
  auto object = find(h);
  return object ? object->read(buffer, toRead, read, ovl) : FALSE;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) {
  auto object = find(h);
  return object ? object->write(buffer, toWrite, written, ovl) : FALSE;
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ovl, DWORD* transferred, BOOL wait) {
  auto object = find(h);
  return object ? object->overlappedResult(ovl, transferred, wait) : FALSE;
}

BOOL CancelIo(HANDLE h) {
  auto object = find(h);
  return object ? object->cancelIo() : FALSE;
}

BOOL FlushFileBuffers(HANDLE h) {
  auto object = find(h);
  return object ? object->flush() : FALSE;
}

}  // namespace zor
