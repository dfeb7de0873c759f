#include "zor/platform/handle.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace zor {
namespace {

// Handles count up from a base that no pointer or small integer takes, and are
// never reused within a process, so a stale handle cannot name a new object.
constexpr std::uintptr_t kFirstHandle = 0x10000;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
  std::uintptr_t next = kFirstHandle;
};

HandleTable& table() {
  static HandleTable* t = new HandleTable;  // outlives every static that may close a handle
  return *t;
}

}  // namespace

BOOL HandleObject::read(void*, DWORD, DWORD*, OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL HandleObject::write(const void*, DWORD, DWORD*, OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL HandleObject::overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) {
  if (ovl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::atomic_ref<ULONG_PTR> status(ovl->Internal);
  if (status.load(std::memory_order_acquire) == STATUS_PENDING) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    while (status.load(std::memory_order_acquire) == STATUS_PENDING) {
      if (ovl->hEvent == nullptr || WaitForSingleObject(ovl->hEvent, INFINITE) != WAIT_OBJECT_0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
    }
  }
  if (transferred != nullptr) *transferred = static_cast<DWORD>(ovl->InternalHigh);
  DWORD error = static_cast<DWORD>(status.load(std::memory_order_acquire));
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL HandleObject::cancelIo() { return TRUE; }

BOOL HandleObject::flush() {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

HANDLE registerHandle(std::shared_ptr<HandleObject> object) {
  if (!object) return nullptr;
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  std::uintptr_t id = t.next;
  t.next += 4;
  t.objects.emplace(id, std::move(object));
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<HandleObject> lookupHandle(HANDLE h) {
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> unregisterHandle(HANDLE h) {
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

BOOL CloseHandle(HANDLE h) {
  auto object = unregisterHandle(h);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->close();
}

void completeOverlapped(OVERLAPPED* ovl, DWORD error, DWORD transferred) {
  // The owner may reuse or free the structure as soon as it sees the status,
  // so the event is read before the status is published.
  HANDLE event = ovl->hEvent;
  ovl->InternalHigh = transferred;
  std::atomic_ref<ULONG_PTR>(ovl->Internal).store(error, std::memory_order_release);
  if (event != nullptr) SetEvent(event);
}

void beginOverlapped(OVERLAPPED* ovl) {
  if (ovl->hEvent != nullptr) ResetEvent(ovl->hEvent);
  ovl->InternalHigh = 0;
  std::atomic_ref<ULONG_PTR>(ovl->Internal).store(STATUS_PENDING, std::memory_order_release);
}

}  // namespace zor
