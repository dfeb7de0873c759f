// The client end of a local pipe as a handle, for the device core's open by
// name until it opens pipes as transports (openLocalPipeTransport).
#include "zor/platform/local_pipe.h"

#include "zor/platform/fail.h"
#include "zor/platform/fd_handle.h"
#include "zor/platform/pipe_socket.h"
#include "zor/platform/platform.h"

#include <cerrno>
#include <string>

namespace zor {
namespace {

constexpr DWORD kDefaultWaitMs = 50;  // a pipe's default time-out

// Its errors read as a pipe's: a peer gone is a broken pipe to a reader and
// "being closed" to a writer. A synchronous read returns at once with what is
// there, as a tty's does with its read time-outs: a worker thread then never
// sits in a read that a close on another thread cannot end.
class PipeConnection final : public FdHandle {
public:
  PipeConnection(int fd, bool overlapped) : FdHandle(fd, overlapped) {
    if (!overlapped) setReadMode(ReadMode::Immediate);
  }

protected:
  DWORD errorFromErrno(int err) const override {
    if (err == EPIPE) return ERROR_NO_DATA;
    if (err == ECONNRESET) return ERROR_BROKEN_PIPE;
    return FdHandle::errorFromErrno(err);
  }
};

}  // namespace

bool isPipeName(const char* name) { return name[0] == '\\' && name[1] == '\\'; }

HANDLE openPipeClient(const OpenRequest& request) {
  std::string path;
  if (DWORD error = resolvePipeName(request.name, path)) return fail(error, INVALID_HANDLE_VALUE);
  DWORD error = ERROR_SUCCESS;
  int s = connectPipeSocket(path, 0, &error);
  if (s < 0) return fail(error, INVALID_HANDLE_VALUE);
  auto object = makeFdObject<PipeConnection>(s, request.overlapped());
  if (!object) return INVALID_HANDLE_VALUE;
  HANDLE h = registerHandle(std::move(object));
  return h != nullptr ? h : INVALID_HANDLE_VALUE;
}

BOOL WaitNamedPipeA(const char* name, DWORD milliseconds) {
  std::string path;
  if (DWORD error = resolvePipeName(name, path)) return fail(error);
  DWORD error = waitForFreePipe(path, milliseconds == 0 ? kDefaultWaitMs : milliseconds);
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

}  // namespace zor
