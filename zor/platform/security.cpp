// Security descriptors. On this system who may use a local pipe is decided by
// the pipe folder's and the socket's permissions, so a descriptor only keeps
// its text: it is checked, built and freed as the callers expect, and changes
// nothing else.
#include "zor/platform/fail.h"
#include "zor/platform/platform.h"

#include <cstring>
#include <new>

namespace zor {

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, DWORD revision, void** descriptor,
                                                          DWORD* size) {
  if (descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *descriptor = nullptr;
  // Only a discretionary list, "D:" and its entries, is understood.
  if (text == nullptr || revision != 1 || std::strncmp(text, "D:", 2) != 0)
    return fail(ERROR_INVALID_PARAMETER);
  std::size_t length = std::strlen(text) + 1;
  char* copy = new (std::nothrow) char[length];
  if (copy == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(copy, text, length);
  *descriptor = copy;
  if (size != nullptr) *size = static_cast<DWORD>(length);
  return TRUE;
}

void* LocalFree(void* memory) {
  delete[] static_cast<char*>(memory);
  return nullptr;
}

}  // namespace zor
