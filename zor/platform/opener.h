// How CreateFileA reaches a kind of handle by name.
//
// A kind registers a matcher and an opener once, from a static initialiser in
// its own file. CreateFileA asks the matchers in registration order and gives
// the name to the first that claims it; names no one claims are paths. The
// matchers of different kinds must claim disjoint names.
#pragma once

#include <zor/platform.h>

#include <functional>

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

using OpenMatcher = std::function<bool(const char* name)>;
// Returns the new handle, or INVALID_HANDLE_VALUE with the last error set.
using Opener = std::function<HANDLE(const OpenRequest& request)>;

// Returns true so that `static const bool registered = registerOpener(...)` can run it.
bool registerOpener(OpenMatcher matcher, Opener opener);

// The default opener: name is a path.
HANDLE openPath(const OpenRequest& request);

}  // namespace zor
