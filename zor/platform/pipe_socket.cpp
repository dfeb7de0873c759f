#include "zor/platform/pipe_socket.h"

#include "zor/platform/local_pipe.h"
#include "zor/platform/platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace zor {
namespace {

static_assert(sizeof(sockaddr_un{}.sun_path) == kLongestPipePath + 1);

constexpr unsigned long kLongestWaitMs = 600000;
constexpr DWORD kWaitPollMs = 5;

bool byteHeld(int fd, off_t byte) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool isThisComputer(const std::string& host) {
  if (host == "." || strcasecmp(host.c_str(), "localhost") == 0) return true;
  char self[256] = {};
  return ::gethostname(self, sizeof self - 1) == 0 && strcasecmp(host.c_str(), self) == 0;
}

}  // namespace

bool isPipeName(const char* name) { return name[0] == '\\' && name[1] == '\\'; }

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
  std::string folder = pipeFolder();
  if (!isThisComputer(hostName)) {
    std::fprintf(stderr,
                 "zor: %s names another computer, and a local pipe reaches this one only: use the TCP "
                 "device for another computer, or forward its pipe over SSH into %s\n",
                 name, folder.empty() ? "the pipe folder" : folder.c_str());
    return ERROR_BAD_NETPATH;
  }
  if (folder.empty()) return GetLastError();
  path = folder + "/" + leaf;
  if (path.size() > kLongestPipePath) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

unsigned pipeSocketMode(const std::string& path) {
  return isSharedPipeFolder(path.substr(0, path.rfind('/'))) ? 0660 : 0600;
}

PipeServerState pipeServerState(const std::string& path) {
  int fd = ::open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return PipeServerState::Gone;
  PipeServerState state = !byteHeld(fd, 0)  ? PipeServerState::Gone
                          : byteHeld(fd, 1) ? PipeServerState::Busy
                                            : PipeServerState::Free;
  ::close(fd);
  return state;
}

bool lockPipeByte(int lockFd, int byte, bool take) {
  struct flock fl {};
  fl.l_type = take ? F_WRLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return ::fcntl(lockFd, F_OFD_SETLK, &fl) == 0;
}

DWORD waitForFreePipe(const std::string& path, unsigned long ms) {
  const DWORD bound = static_cast<DWORD>(std::min(ms, kLongestWaitMs));
  const DWORD start = GetTickCount();
  for (;;) {
    PipeServerState state = pipeServerState(path);
    if (state == PipeServerState::Gone) return ERROR_FILE_NOT_FOUND;
    if (state == PipeServerState::Free) return ERROR_SUCCESS;
    // The lock's release wakes nobody, so it is looked at in short steps; only
    // a client that found the pipe busy ever waits here.
    if (GetTickCount() - start >= bound) return ERROR_SEM_TIMEOUT;
    Sleep(kWaitPollMs);
  }
}

int connectPipeSocket(const std::string& path, unsigned long busyWaitMs, DWORD* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (int attempt = 0;; ++attempt) {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
      *error = win32ErrorFromErrno(errno);
      return -1;
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      *error = ERROR_SUCCESS;
      return s;
    }
    int err = errno;
    ::close(s);
    *error = win32ErrorFromErrno(err);
    // Refused: a server that serves its client stops listening, one that died
    // left its socket; its lock file tells which. A full backlog is busy too.
    if (err == ECONNREFUSED)
      *error = pipeServerState(path) == PipeServerState::Gone ? ERROR_FILE_NOT_FOUND : ERROR_PIPE_BUSY;
    else if (err == EAGAIN)
      *error = ERROR_PIPE_BUSY;
    if (*error != ERROR_PIPE_BUSY || attempt > 0 || busyWaitMs == 0) return -1;
    DWORD waited = waitForFreePipe(path, busyWaitMs);
    if (waited == ERROR_FILE_NOT_FOUND) *error = waited;
    if (waited != ERROR_SUCCESS) return -1;
  }
}

bool ReadableSignal::arm(int fd, HANDLE event) {
  if (m_id == 0) {
    auto target = std::make_shared<std::atomic<HANDLE>>(nullptr);
    // An event closed by the time the callback runs is not found, and no
    // other object is given its number.
    m_id = Reactor::instance().add(fd, [target](unsigned) {
      if (HANDLE e = target->load()) SetEvent(e);
    });
    if (m_id == 0) return false;
    m_target = std::move(target);
  }
  m_target->store(event);
  return Reactor::instance().arm(m_id, Reactor::kReadable);
}

void ReadableSignal::remove() {
  if (m_id != 0) Reactor::instance().remove(std::exchange(m_id, 0));
}

}  // namespace zor
