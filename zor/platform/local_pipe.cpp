#include "zor/platform/local_pipe.h"

#include "zor/platform/fail.h"
#include "zor/platform/fd_handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace zor {
namespace {

static_assert(sizeof(sockaddr_un{}.sun_path) == kLongestPipePath + 1);

constexpr DWORD kDefaultWaitMs = 50;  // a pipe's default time-out
constexpr DWORD kLongestWaitMs = 600000;
constexpr DWORD kWaitPollMs = 5;

mode_t socketMode(const std::string& folder) { return isSharedPipeFolder(folder) ? 0660 : 0600; }

// "\\HOST\PIPE\NAME" to the socket's path. 0, or the Win32 code of the fault.
DWORD resolvePipeName(const char* name, std::string& path) {
  if (name == nullptr || name[0] != '\\' || name[1] != '\\') return ERROR_INVALID_NAME;
  const char* host = name + 2;
  const char* hostEnd = std::strchr(host, '\\');
  if (hostEnd == nullptr || hostEnd == host || strncasecmp(hostEnd, "\\PIPE\\", 6) != 0)
    return ERROR_INVALID_NAME;
  std::string hostName(host, hostEnd);
  std::string leaf(hostEnd + 6);
  if (hostName.find('/') != std::string::npos || hostName == "..") return ERROR_INVALID_NAME;
  if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find_first_of("/\\") != std::string::npos)
    return ERROR_INVALID_NAME;
  char self[256] = {};
  bool local = hostName == "." || strcasecmp(hostName.c_str(), "localhost") == 0 ||
               (::gethostname(self, sizeof self - 1) == 0 && strcasecmp(hostName.c_str(), self) == 0);
  std::string folder = pipeFolder();
  if (!local) {
    std::fprintf(stderr,
                 "zor: %s names another computer, and a local pipe reaches this one only: use the TCP "
                 "device for another computer, or forward its pipe over SSH into %s\n",
                 name, folder.empty() ? "the pipe folder" : folder.c_str());
    return ERROR_BAD_NETPATH;
  }
  if (folder.empty()) return GetLastError();
  path = folder + "/" + leaf;
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

bool socketAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Open-file-description locks of one byte of a lock file.
bool lockByte(int fd, off_t byte, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool byteHeld(int fd, off_t byte) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

enum class ServerState { Gone, Free, Busy };

ServerState serverState(const std::string& path) {
  int fd = ::open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return ServerState::Gone;
  ServerState state = !byteHeld(fd, 0)  ? ServerState::Gone
                      : byteHeld(fd, 1) ? ServerState::Busy
                                        : ServerState::Free;
  ::close(fd);
  return state;
}

// A connected pipe end, either side. Its errors read as a pipe's: a peer gone
// is a broken pipe to a reader and "being closed" to a writer.
// A synchronous read returns at once with what is there, as a tty's does with
// its read time-outs: a worker thread then never sits in a read that a close
// on another thread cannot end.
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

// One server instance: the listening socket until a client comes, then that
// client's connection.
class PipeInstance final : public HandleObject, public std::enable_shared_from_this<PipeInstance> {
public:
  PipeInstance(std::string path, bool overlapped) : m_path(std::move(path)), m_overlapped(overlapped) {}
  ~PipeInstance() override { close(); }

  DWORD create(mode_t mode) {
    m_lockFd =
        ::open((m_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
    if (m_lockFd < 0)
      return errno == ELOOP || errno == EISDIR ? ERROR_FILE_EXISTS : win32ErrorFromErrno(errno);
    struct stat lockStat {};
    if (::fstat(m_lockFd, &lockStat) != 0 || !S_ISREG(lockStat.st_mode)) return ERROR_FILE_EXISTS;
    ::fchmod(m_lockFd, mode);
    if (!lockByte(m_lockFd, 0, F_WRLCK)) return ERROR_PIPE_BUSY;  // another server has it
    struct stat st {};
    if (::lstat(m_path.c_str(), &st) == 0) {
      // A socket of a server that died; anything else is not ours to remove.
      if (!S_ISSOCK(st.st_mode)) return ERROR_FILE_EXISTS;
      ::unlink(m_path.c_str());
    }
    sockaddr_un address;
    if (!socketAddress(m_path, address)) return ERROR_INVALID_NAME;
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return win32ErrorFromErrno(errno);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      DWORD error = win32ErrorFromErrno(errno);
      ::close(s);
      return error;
    }
    m_bound = true;
    ::chmod(m_path.c_str(), mode);
    if (::listen(s, 4) != 0) {
      DWORD error = win32ErrorFromErrno(errno);
      ::close(s);
      return error;
    }
    std::weak_ptr<PipeInstance> weak = weak_from_this();
    Reactor::Id id = Reactor::instance().add(s, [weak](unsigned) {
      if (auto self = weak.lock()) self->acceptClient();
    });
    if (id == 0) {
      DWORD error = win32ErrorFromErrno(errno);
      ::close(s);
      return error;
    }
    std::lock_guard lock(m_mutex);
    m_listener = s;
    m_listenerId = id;
    Reactor::instance().arm(id, Reactor::kReadable);
    return 0;
  }

  BOOL read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl) override {
    auto c = connection();
    return c ? c->read(buffer, toRead, read, ovl) : FALSE;
  }
  BOOL write(const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl) override {
    if (written != nullptr) *written = 0;
    auto c = connection();
    return c ? c->write(buffer, toWrite, written, ovl) : FALSE;
  }
  BOOL overlappedResult(OVERLAPPED* ovl, DWORD* transferred, BOOL wait) override {
    std::shared_ptr<PipeConnection> c;
    {
      std::lock_guard lock(m_mutex);
      if (ovl != m_connectOvl && ovl != m_lastConnectOvl) c = m_conn;
    }
    return c ? c->overlappedResult(ovl, transferred, wait)
             : HandleObject::overlappedResult(ovl, transferred, wait);
  }
  BOOL cancelIo() override {
    std::shared_ptr<PipeConnection> c;
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return fail(ERROR_INVALID_HANDLE);
      if (m_connectOvl != nullptr)
        completeOverlapped(std::exchange(m_connectOvl, nullptr), ERROR_OPERATION_ABORTED, 0);
      c = m_conn;
    }
    return c ? c->cancelIo() : TRUE;
  }
  BOOL flush() override {
    auto c = connection();
    return c ? c->flush() : FALSE;
  }
  int readinessFd() override {
    std::lock_guard lock(m_mutex);
    return m_conn ? m_conn->readinessFd() : -1;
  }

  BOOL connect(OVERLAPPED* ovl) {
    std::lock_guard lock(m_mutex);
    if (m_closed) return fail(ERROR_INVALID_HANDLE);
    if (m_conn) return fail(ERROR_PIPE_CONNECTED);
    if (m_listener < 0) return fail(ERROR_BAD_PIPE);  // served its client: it is closed, not reused
    if (ovl == nullptr || !m_overlapped) return fail(ERROR_NOT_SUPPORTED);
    if (m_connectOvl != nullptr) return fail(ERROR_INVALID_PARAMETER);
    beginOverlapped(ovl);
    m_connectOvl = m_lastConnectOvl = ovl;
    return fail(ERROR_IO_PENDING);
  }

  BOOL disconnect() {
    std::shared_ptr<PipeConnection> c;
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return fail(ERROR_INVALID_HANDLE);
      c = std::move(m_conn);
      if (m_lockFd >= 0) lockByte(m_lockFd, 1, F_UNLCK);
    }
    if (c) c->close();
    return TRUE;
  }

  BOOL clientProcessId(DWORD* pid) {
    std::lock_guard lock(m_mutex);
    if (!m_conn) return fail(ERROR_PIPE_NOT_CONNECTED);
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(m_conn->fd(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
      return fail(win32ErrorFromErrno(errno));
    *pid = static_cast<DWORD>(cred.pid);
    return TRUE;
  }

  BOOL close() override {
    std::shared_ptr<PipeConnection> c;
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return TRUE;
      m_closed = true;
      if (m_connectOvl != nullptr)
        completeOverlapped(std::exchange(m_connectOvl, nullptr), ERROR_OPERATION_ABORTED, 0);
      c = std::move(m_conn);
      closeListenerLocked();
      // Only the holder of byte 0 ever binds this path, so it is still ours.
      if (m_bound) ::unlink(m_path.c_str());
      if (m_lockFd >= 0) ::close(std::exchange(m_lockFd, -1));
    }
    if (c) c->close();
    return TRUE;
  }

private:
  std::shared_ptr<PipeConnection> connection() {
    std::lock_guard lock(m_mutex);
    if (m_closed) return fail(ERROR_INVALID_HANDLE, std::shared_ptr<PipeConnection>());
    // A client that has connected may not have been taken by the reactor yet.
    if (!m_conn && m_listener >= 0) acceptLocked();
    if (!m_conn)
      return fail(m_listener >= 0 ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED,
                  std::shared_ptr<PipeConnection>());
    return m_conn;
  }

  void closeListenerLocked() {
    if (m_listenerId != 0) Reactor::instance().remove(std::exchange(m_listenerId, 0));
    if (m_listener >= 0) ::close(std::exchange(m_listener, -1));
  }

  // Reactor thread: the first client that connects is the one this instance serves.
  void acceptClient() {
    std::lock_guard lock(m_mutex);
    if (m_closed || m_listener < 0 || m_conn) return;
    if (!acceptLocked()) Reactor::instance().arm(m_listenerId, Reactor::kReadable);
  }

  bool acceptLocked() {
    int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    m_conn = makeFdObject<PipeConnection>(fd, m_overlapped);
    if (!m_conn) return false;
    lockByte(m_lockFd, 1, F_WRLCK);
    // Clients that come now are refused and, seeing the lock, know the pipe is busy.
    closeListenerLocked();
    if (m_connectOvl != nullptr) completeOverlapped(std::exchange(m_connectOvl, nullptr), ERROR_SUCCESS, 0);
    return true;
  }

  const std::string m_path;
  const bool m_overlapped;
  std::mutex m_mutex;
  bool m_closed = false;  // all below under m_mutex
  bool m_bound = false;
  int m_lockFd = -1;
  int m_listener = -1;
  Reactor::Id m_listenerId = 0;
  std::shared_ptr<PipeConnection> m_conn;
  OVERLAPPED* m_connectOvl = nullptr;
  OVERLAPPED* m_lastConnectOvl = nullptr;  // its result is read from the structure itself
};

std::shared_ptr<PipeInstance> findInstance(HANDLE h) {
  auto instance = lookupHandleAs<PipeInstance>(h);
  if (!instance) SetLastError(ERROR_INVALID_HANDLE);
  return instance;
}

}  // namespace

bool isPipeName(const char* name) { return name[0] == '\\' && name[1] == '\\'; }

HANDLE openPipeClient(const OpenRequest& request) {
  std::string path;
  if (DWORD error = resolvePipeName(request.name, path)) return fail(error, INVALID_HANDLE_VALUE);
  sockaddr_un address;
  socketAddress(path, address);
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return fail(win32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int err = errno;
    ::close(s);
    DWORD error = win32ErrorFromErrno(err);
    if (err == ECONNREFUSED)
      error = serverState(path) == ServerState::Gone ? ERROR_FILE_NOT_FOUND : ERROR_PIPE_BUSY;
    else if (err == EAGAIN)
      error = ERROR_PIPE_BUSY;
    return fail(error, INVALID_HANDLE_VALUE);
  }
  auto object = makeFdObject<PipeConnection>(s, request.overlapped());
  if (!object) return INVALID_HANDLE_VALUE;
  HANDLE h = registerHandle(std::move(object));
  return h != nullptr ? h : INVALID_HANDLE_VALUE;
}

HANDLE CreateNamedPipeA(const char* name, DWORD openMode, DWORD, DWORD, DWORD, DWORD, DWORD,
                        SECURITY_ATTRIBUTES*) {
  std::string path;
  if (DWORD error = resolvePipeName(name, path)) return fail(error, INVALID_HANDLE_VALUE);
  std::shared_ptr<PipeInstance> instance;
  try {
    instance = std::make_shared<PipeInstance>(path, (openMode & FILE_FLAG_OVERLAPPED) != 0);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  std::string folder = path.substr(0, path.rfind('/'));
  if (DWORD error = instance->create(socketMode(folder))) {
    instance->close();
    return fail(error, INVALID_HANDLE_VALUE);
  }
  HANDLE h = registerHandle(instance);
  if (h == nullptr) {
    instance->close();
    return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  return h;
}

BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED* ovl) {
  auto instance = findInstance(pipe);
  return instance ? instance->connect(ovl) : FALSE;
}

BOOL DisconnectNamedPipe(HANDLE pipe) {
  auto instance = findInstance(pipe);
  return instance ? instance->disconnect() : FALSE;
}

BOOL GetNamedPipeClientProcessId(HANDLE pipe, DWORD* pid) {
  auto instance = findInstance(pipe);
  if (pid == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return instance ? instance->clientProcessId(pid) : FALSE;
}

BOOL WaitNamedPipeA(const char* name, DWORD milliseconds) {
  std::string path;
  if (DWORD error = resolvePipeName(name, path)) return fail(error);
  DWORD bound = milliseconds == 0 ? kDefaultWaitMs : std::min(milliseconds, kLongestWaitMs);
  DWORD start = GetTickCount();
  for (;;) {
    ServerState state = serverState(path);
    if (state == ServerState::Gone) return fail(ERROR_FILE_NOT_FOUND);
    if (state == ServerState::Free) return TRUE;
    if (GetTickCount() - start >= bound) return fail(ERROR_SEM_TIMEOUT);
    Sleep(kWaitPollMs);
  }
}

}  // namespace zor
