// CreateFileA: the table of the kinds it opens by name, and the opener for paths.
#include "zor/platform/fail.h"
#include "zor/platform/fd_handle.h"
#include "zor/platform/local_pipe.h"
#include "zor/platform/opener.h"
#include "zor/platform/tty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zor {
namespace {

// The kinds CreateFileA serves by name, asked in this order; a name no one
// claims is a path. Constant, so that it needs no start-up: any code, at any
// time, opens through the same kinds.
struct OpenerEntry {
  bool (*claims)(const char* name);
  HANDLE (*open)(const OpenRequest& request);
};

constexpr OpenerEntry kOpeners[] = {
    {isComName, openComPort},
    {isPipeName, openPipeClient},
};

}  // namespace

HANDLE openPath(const OpenRequest& request) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool reading = (request.access & GENERIC_READ) != 0;
  bool writing = (request.access & GENERIC_WRITE) != 0;
  flags |= writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
  bool existed = false;
  switch (request.disposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!writing) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_TRUNC;
      break;
    default:
      fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (request.disposition == CREATE_ALWAYS || request.disposition == OPEN_ALWAYS) {
    struct stat st {};
    existed = ::stat(request.name, &st) == 0;
  }
  int fd = ::open(request.name, flags, 0666);
  if (fd < 0) {
    int err = errno;
    fail(err == EEXIST ? ERROR_FILE_EXISTS : win32ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fail(ERROR_ACCESS_DENIED);  // a directory is not a file to read or write
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = handleFromFd(fd, request.overlapped());
  if (h != INVALID_HANDLE_VALUE) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                   DWORD attributes, HANDLE) {
  if (name == nullptr || *name == '\0') {
    fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  OpenRequest request{name, access, share, sa, disposition, attributes};
  for (const OpenerEntry& kind : kOpeners)
    if (kind.claims(name)) return kind.open(request);
  return openPath(request);
}

BOOL GetFileSizeEx(HANDLE h, long long* size) {
  if (size == nullptr) return fail(ERROR_INVALID_PARAMETER);
  auto file = lookupHandleAs<FdHandle>(h);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  struct stat st {};
  if (::fstat(file->fd(), &st) != 0) return fail(win32ErrorFromErrno(errno));
  // Only a regular file has a size; a pipe or a device would never end.
  if (!S_ISREG(st.st_mode)) return fail(ERROR_INVALID_FUNCTION);
  *size = static_cast<long long>(st.st_size);
  return TRUE;
}

}  // namespace zor
