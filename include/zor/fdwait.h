// A wait for the library's events and a program's own descriptor at once: a
// program that drives a device from its standard input waits for received
// data and for a key in one call, with no thread of its own between them.
#pragma once

#include <zor/export.h>
#include <zor/platform.h>

namespace zor {

// As WaitForMultipleObjects for any one of the events, and also ends, with
// WAIT_OBJECT_0 + count, once fd can be read without waiting (data, the end
// of the data or an error is there; a regular file always can). fd stays the
// caller's: it is neither read nor closed. WAIT_FAILED with
// ERROR_INVALID_HANDLE for a negative fd or a bad event.
ZOR_API DWORD WaitForMultipleObjectsOrReadable(DWORD count, const HANDLE* events, int fd, DWORD milliseconds);

}  // namespace zor
