#include "zor/platform/handle.h"

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
  // A waiter still inside the object holds its own reference to it.
  if (!unregisterHandle(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace zor
