// Memory blocks of the support library: flags 8 asks for zeroed storage.
#include "zor/support/support.h"

#include <cstdlib>

namespace zor {

namespace {
constexpr unsigned long kZeroInit = 8;
}

void* _utlMemAlloc(unsigned long flags, unsigned long size) {
  if (size == 0) size = 1;  // a valid, distinct block, as callers expect non-null on success
  return (flags & kZeroInit) != 0 ? std::calloc(1, size) : std::malloc(size);
}

bool _utlMemFree(unsigned long /*flags*/, void* block) {
  if (block == nullptr) return false;
  std::free(block);
  return true;
}

}  // namespace zor
