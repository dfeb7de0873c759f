// How CreateFileA reaches a kind of handle by name.
//
// Each kind offers a matcher and an opener; file.cpp lists them in one
// constant table that CreateFileA asks in order; a name no one claims fails
// with ERROR_FILE_NOT_FOUND. The matchers of different kinds must claim
// disjoint names.
#pragma once

#include <zor/platform.h>

namespace zor {

struct OpenRequest {
  const char* name;
  DWORD access;
  DWORD share;
  SECURITY_ATTRIBUTES* sa;
  DWORD disposition;
  DWORD attributes;
  bool overlapped() const { return (attributes & FILE_FLAG_OVERLAPPED) != 0; }
};

// An opener returns the new handle, or INVALID_HANDLE_VALUE with the last error set.

}  // namespace zor
