#include "zor/platform/pipe_transport.h"

#include "zor/platform/pipe_socket.h"
#include "zor/platform/platform.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace zor {
namespace {

constexpr unsigned long kDefaultBusyWaitMs = 50;

DWORD readError(int err) { return err == ECONNRESET ? ERROR_BROKEN_PIPE : win32ErrorFromErrno(err); }

DWORD writeError(int err) {
  return err == EPIPE || err == ECONNRESET ? ERROR_NO_DATA : win32ErrorFromErrno(err);
}

}  // namespace

long PipeTransport::attempt(bool input, int fd, char* bytes, unsigned long size, unsigned, DWORD* code) {
  long n;
  do n = input ? ::recv(fd, bytes, size, MSG_DONTWAIT) : ::send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  if (n == 0) {
    *code = input ? ERROR_BROKEN_PIPE : ERROR_WRITE_FAULT;  // the writer has gone
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return kWait;
  *code = input ? readError(errno) : writeError(errno);
  return -1;
}

DWORD PipeTransport::peerProcessId() const {
  return withDescriptor([](int fd) -> DWORD {
    if (fd < 0) return 0;
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return 0;
    return static_cast<DWORD>(cred.pid);
  });
}

bool PipeTransport::signalWhenReadable(HANDLE event) {
  return withDescriptor([&](int fd) { return fd >= 0 && m_watch.arm(fd, event); });
}

void PipeTransport::beforeClose(int) { m_watch.remove(); }

std::unique_ptr<PipeTransport> connectLocalPipe(const char* name, unsigned long busyWaitMs, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  std::string path;
  if ((*error = resolvePipeName(name, path)) != ERROR_SUCCESS) return nullptr;
  int fd = connectPipeSocket(path, busyWaitMs, error);
  if (fd < 0) return nullptr;
  return adoptDescriptor<PipeTransport>(fd, error);
}

std::unique_ptr<Transport> openLocalPipeTransport(const char* name, DWORD* error) {
  return connectLocalPipe(name, kDefaultBusyWaitMs, error);
}

}  // namespace zor
