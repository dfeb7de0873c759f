#include "zor/platform/pipe_listener.h"

#include "zor/platform/deadline.h"
#include "zor/platform/pipe_socket.h"
#include "zor/platform/platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace zor {
namespace {

constexpr int kBacklog = 4;

DWORD systemError(int fd) {
  DWORD error = win32ErrorFromErrno(errno);
  if (fd >= 0) ::close(fd);
  return error;
}

}  // namespace

PipeListener::PipeListener(std::string path) : m_path(std::move(path)) {}

PipeListener::~PipeListener() { close(); }

std::unique_ptr<PipeListener> PipeListener::create(const char* name, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  std::string path;
  if ((*error = resolvePipeName(name, path)) != ERROR_SUCCESS) return nullptr;
  std::unique_ptr<PipeListener> listener(new (std::nothrow) PipeListener(std::move(path)));
  if (listener == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (listener->m_wake.fd < 0) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return nullptr;
  }
  if ((*error = listener->open()) != ERROR_SUCCESS) return nullptr;  // its destructor cleans up
  return listener;
}

DWORD PipeListener::open() {
  const mode_t mode = pipeSocketMode(m_path);
  std::lock_guard lock(m_mutex);
  m_lockFd = ::open((m_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  if (m_lockFd < 0) return errno == ELOOP || errno == EISDIR ? ERROR_FILE_EXISTS : win32ErrorFromErrno(errno);
  struct stat lockStat {};
  if (::fstat(m_lockFd, &lockStat) != 0 || !S_ISREG(lockStat.st_mode)) return ERROR_FILE_EXISTS;
  ::fchmod(m_lockFd, mode);
  if (!lockPipeByte(m_lockFd, 0, true)) return ERROR_PIPE_BUSY;  // another server has it
  struct stat st {};
  if (::lstat(m_path.c_str(), &st) == 0) {
    // A socket of a server that died; anything else is not ours to remove.
    if (!S_ISSOCK(st.st_mode)) return ERROR_FILE_EXISTS;
    ::unlink(m_path.c_str());
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (m_path.size() >= sizeof address.sun_path) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return systemError(-1);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return systemError(s);
  m_bound = true;
  ::chmod(m_path.c_str(), mode);
  if (::listen(s, kBacklog) != 0) return systemError(s);
  m_socket = s;
  return ERROR_SUCCESS;
}

std::unique_ptr<PipeTransport> PipeListener::accept(unsigned long timeoutMs, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  Deadline deadline(timeoutMs);
  std::unique_lock lock(m_mutex);
  for (bool last = false;;) {
    if (m_closed) {
      *error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (m_cancel.exchange(false)) {
      *error = ERROR_OPERATION_ABORTED;
      return nullptr;
    }
    if (m_socket < 0) {
      *error = ERROR_BAD_PIPE;  // served its client: it is closed, not reused
      return nullptr;
    }
    int fd = ::accept4(m_socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      std::unique_ptr<PipeTransport> client(new (std::nothrow) PipeTransport(fd));
      if (client == nullptr || !client->usable()) {
        *error = client == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_TOO_MANY_OPEN_FILES;
        if (client == nullptr) ::close(fd);
        return nullptr;
      }
      lockPipeByte(m_lockFd, 1, true);
      // Clients that come now are refused and, seeing the lock, know the pipe is busy.
      m_watch.remove();
      ::close(std::exchange(m_socket, -1));
      *error = ERROR_SUCCESS;
      return client;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = win32ErrorFromErrno(errno);
      return nullptr;
    }
    if (last) {
      *error = ERROR_PIPE_LISTENING;
      return nullptr;
    }
    const int s = m_socket;
    const int ms = deadline.left();
    ++m_accepting;
    lock.unlock();
    int ready = Reactor::waitReadyOrWoken(s, Reactor::kReadable, m_wake.fd, ms);
    int err = errno;
    lock.lock();
    if (--m_accepting == 0) m_idle.notify_all();
    if (ready < 0) {
      *error = win32ErrorFromErrno(err);
      return nullptr;
    }
    last = ms == 0 || deadline.left() == 0;
  }
}

void PipeListener::cancel() {
  m_cancel = true;
  m_wake.wake();
}

bool PipeListener::signalWhenClientWaits(HANDLE event) {
  std::lock_guard lock(m_mutex);
  if (m_closed || m_socket < 0) return false;
  return m_watch.arm(m_socket, event);
}

void PipeListener::close() {
  std::unique_lock lock(m_mutex);
  if (m_closed) return;
  m_closed = true;
  m_wake.wake();
  m_idle.wait(lock, [this] { return m_accepting == 0; });
  m_watch.remove();
  if (m_socket >= 0) ::close(std::exchange(m_socket, -1));
  // Only the holder of byte 0 ever binds this path, so it is still ours.
  if (m_bound) ::unlink(m_path.c_str());
  if (m_lockFd >= 0) ::close(std::exchange(m_lockFd, -1));
}

}  // namespace zor
