#include "zor/platform/stdiofile.h"

#include "zor/platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace zor {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

bool failWith(int err) {
  SetLastError(win32ErrorFromErrno(err));
  return false;
}

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

}  // namespace

int openRegularForReading(const char* name, const char** kind) {
  *kind = nullptr;
  int fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *kind = kindOf(st.st_mode);
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    return -1;
  }
  // A regular file never blocks; the flag only mattered for the open.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

const char* nonRegularKind(const char* name) {
  struct stat st {};
  if (name == nullptr || ::stat(name, &st) != 0 || S_ISREG(st.st_mode)) return nullptr;
  return kindOf(st.st_mode);
}

CStdioFile::~CStdioFile() { Close(); }

bool CStdioFile::Open(const char* name, unsigned flags) {
  Close();
  m_refusedKind = nullptr;
  if (name == nullptr || *name == '\0') return failWith(ENOENT);
  const bool write = (flags & modeWrite) != 0;
  // Never O_TRUNC here: truncating before the lock is had would empty a file
  // that another writer is still filling.
  // Without waiting: a FIFO without a reader would block the open, and one
  // with a reader, a terminal or a device would make the writer wait on it.
  int oflags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (write ? O_WRONLY : O_RDONLY);
  if (write && (flags & modeCreate)) oflags |= O_CREAT;
  int fd = write ? ::open(name, oflags, 0666) : openRegularForReading(name, &m_refusedKind);
  struct stat st {};
  if (fd < 0) {
    int err = errno;
    // ENXIO: a FIFO without a reader (or a device without its hardware).
    if (write && err == ENXIO && ::stat(name, &st) == 0 && !S_ISREG(st.st_mode)) {
      m_refusedKind = kindOf(st.st_mode);
      err = EACCES;
    }
    return failWith(err);
  }
  // A file opened for reading is a regular one already; one opened for writing is looked at here.
  if (write && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    int err = errno;
    if (st.st_mode != 0 && !S_ISREG(st.st_mode)) {
      m_refusedKind = kindOf(st.st_mode);
      err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    }
    ::close(fd);
    return failWith(err);
  }
  if (write) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int lockOp = -1;
  if (flags & shareExclusive)
    lockOp = LOCK_EX;
  else if (flags & shareDenyWrite)
    lockOp = LOCK_SH;
  if (lockOp >= 0) {
    int rc;
    do rc = ::flock(fd, lockOp | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int err = errno;
      ::close(fd);
      SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : win32ErrorFromErrno(err));
      return false;
    }
  }
  if (write && (flags & modeCreate) && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    int err = errno;
    ::close(fd);
    return failWith(err);
  }
  m_fd = fd;
  m_text = (flags & typeText) != 0;
  m_failed = false;
  m_out.clear();
  m_in.clear();
  m_inPos = 0;
  m_eof = false;
  return true;
}

bool CStdioFile::WriteString(const char* text) {
  if (m_fd < 0 || m_failed) return false;
  if (!m_text) {
    m_out.append(text);
  } else {
    for (const char* p = text; *p;) {
      const char* nl = std::strchr(p, '\n');
      if (nl == nullptr) {
        m_out.append(p);
        break;
      }
      m_out.append(p, nl - p);
      m_out.append("\r\n");
      p = nl + 1;
    }
  }
  return m_out.size() < kChunk || Flush();
}

bool CStdioFile::Flush() {
  if (m_fd < 0) return false;
  std::size_t done = 0;
  while (done < m_out.size() && !m_failed) {
    ssize_t n = ::write(m_fd, m_out.data() + done, m_out.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      SetLastError(n < 0 ? win32ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
      m_failed = true;
    }
  }
  m_out.clear();
  return !m_failed;
}

bool CStdioFile::fill() {
  if (m_eof) return false;
  if (m_inPos > 0) {
    m_in.erase(0, m_inPos);
    m_inPos = 0;
  }
  std::size_t old = m_in.size();
  m_in.resize(old + kChunk);
  ssize_t n;
  do n = ::read(m_fd, m_in.data() + old, kChunk);
  while (n < 0 && errno == EINTR);
  m_in.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n < 0) {
    SetLastError(win32ErrorFromErrno(errno));
    m_failed = true;
    m_eof = true;
    return false;
  }
  if (n == 0) m_eof = true;
  return n > 0;
}

bool CStdioFile::ReadString(std::string& line) {
  if (m_fd < 0 || m_failed) return false;
  std::size_t scanFrom = m_inPos;
  for (;;) {
    std::size_t nl = m_in.find('\n', scanFrom);
    if (nl != std::string::npos) {
      std::size_t end = nl;
      if (m_text && end > m_inPos && m_in[end - 1] == '\r') --end;
      line.assign(m_in, m_inPos, end - m_inPos);
      m_inPos = nl + 1;
      return true;
    }
    scanFrom = m_in.size() - m_inPos;  // offset survives the compaction in fill()
    if (scanFrom > kMaxLine) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      m_failed = true;
      return false;
    }
    if (!fill()) break;
    scanFrom += m_inPos;
  }
  if (m_failed) return false;
  if (m_in.size() - m_inPos > kMaxLine) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    m_failed = true;
    return false;
  }
  if (m_inPos < m_in.size()) {
    line.assign(m_in, m_inPos, std::string::npos);
    m_inPos = m_in.size();
    return true;
  }
  SetLastError(ERROR_HANDLE_EOF);
  return false;
}

unsigned long long CStdioFile::Length() const {
  struct stat st {};
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return 0;
  return static_cast<unsigned long long>(st.st_size);
}

bool CStdioFile::Close() {
  if (m_fd < 0) return true;
  bool ok = m_out.empty() || Flush();
  ok = ok && !m_failed;
  ::close(m_fd);  // releases the flock with the last descriptor
  m_fd = -1;
  m_out.clear();
  m_in.clear();
  m_inPos = 0;
  return ok;
}

}  // namespace zor
