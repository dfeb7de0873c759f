// Raw access to the settings file: whole-file reads and locked atomic replacement.
#include "zor/platform/platform.h"
#include "zor/platform/stdiofile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace zor {
namespace {

enum class ReadResult { Ok, Missing, Failed };

// Far beyond any real settings file; a path to something endless (a device,
// a runaway file) must not exhaust memory.
constexpr std::size_t kMaxSettingsBytes = 16u << 20;

ReadResult readAll(const std::string& path, std::string& out, std::string* problem = nullptr) {
  out.clear();
  auto refuse = [&](const std::string& why) {
    if (problem != nullptr) *problem = why;
    return ReadResult::Failed;
  };
  const char* kind = nullptr;
  int fd = openRegularForReading(path.c_str(), &kind);
  if (fd < 0) {
    if (kind != nullptr) return refuse(std::string("is ") + kind + ", not a regular file");
    if (errno == ENOENT) return ReadResult::Missing;
    return refuse(std::string("cannot be read: ") + std::strerror(errno));
  }
  char buf[8192];
  ReadResult result = ReadResult::Ok;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      if (out.size() > kMaxSettingsBytes) {
        result = refuse("is larger than 16 MiB");
        break;
      }
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      result = refuse(std::string("cannot be read: ") + std::strerror(errno));
      break;
    }
  }
  ::close(fd);
  if (result != ReadResult::Ok) out.clear();
  return result;
}

// Where a write must land: the file a chain of symbolic links ends at (the
// links stay), or path itself. Empty for a loop or a chain too long.
std::string finalTarget(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return errno == EINVAL || errno == ENOENT ? path : std::string();
    std::string target(buf, static_cast<std::size_t>(n));
    if (target.empty()) return {};
    if (target[0] != '/') {
      auto slash = path.find_last_of('/');
      if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
    }
    path = target;
  }
  return {};
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool makeFolders(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::string folder = path.substr(0, slash);
  for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    std::string part = folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Holds an exclusive advisory lock on "<path>.lock" for its lifetime. Each
// holder opens its own descriptor, so threads of one process exclude each
// other as well as other processes.
class FileLock {
public:
  explicit FileLock(const std::string& path) {
    m_fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) return;
    while (::flock(m_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(m_fd);
        m_fd = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
  }
  bool held() const { return m_fd >= 0; }

private:
  int m_fd = -1;
};

}  // namespace

bool readSettingsFile(const std::string& path, std::string& contents, std::string* problem) {
  return readAll(path, contents, problem) != ReadResult::Failed;
}

bool updateSettingsFile(const std::string& linkPath, const std::function<bool(std::string&)>& edit) {
  // A symbolic link stays one: its target is what gets replaced.
  const std::string path = finalTarget(linkPath);
  if (path.empty() || !makeFolders(path)) return false;
  FileLock lock(path);
  if (!lock.held()) return false;

  std::string contents;
  // A file that exists but cannot be read must not be replaced by a rewrite.
  if (readAll(path, contents) == ReadResult::Failed) return false;
  if (!edit(contents)) return false;

  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace zor
