// How CreateFileA reaches a kind of handle by name.
//
// Each kind offers a matcher and an opener; file.cpp lists them in one
// constant table that CreateFileA asks in order, and a name no one claims is a
// path. The matchers of different kinds must claim disjoint names.
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
// The default opener: name is a path.
HANDLE openPath(const OpenRequest& request);

}  // namespace zor
