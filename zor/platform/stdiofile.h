// CStdioFile: a text file read or written line by line, held under an advisory
// lock for as long as it is open.
//
// Text mode is the line convention of the traffic log: every "\n" written
// reaches the disk as CR LF, and a line read back loses its LF and a CR
// before it, so files written on either line convention read alike.
//
// Sharing is an flock(2) lock taken when the file opens: shareExclusive holds
// an exclusive lock (nobody else may open the file under one of these locks),
// shareDenyWrite a shared one (other readers may, an exclusive writer may
// not). The lock is taken before anything is truncated, so a file held by
// another writer is left intact.
#pragma once

#include <zor/platform.h>

#include <string>

namespace zor {

class CStdioFile {
public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    modeCreate = 0x1000,  // create, or truncate an existing file
    typeText = 0x4000,
  };

  CStdioFile() = default;
  ~CStdioFile();
  CStdioFile(const CStdioFile&) = delete;
  CStdioFile& operator=(const CStdioFile&) = delete;

  // Lines longer than this end the reading: a runaway line must not take
  // memory without bound.
  static constexpr std::size_t kMaxLine = 16u << 20;

  // False with GetLastError set (ERROR_SHARING_VIOLATION when the lock is
  // held elsewhere, ERROR_ACCESS_DENIED for a directory, ...). Only a regular
  // file opens, without waiting: anything else (a FIFO would block the open
  // or the writes, a device never ends) is refused with ERROR_ACCESS_DENIED
  // and RefusedKind() names what it is.
  bool Open(const char* name, unsigned flags);
  // "a FIFO", "a directory", ... after Open refused a file that is no regular file; else null.
  const char* RefusedKind() const { return m_refusedKind; }
  bool IsOpen() const { return m_fd >= 0; }
  // Buffers the text; Flush or Close writes it. False once a write has failed.
  bool WriteString(const char* text);
  bool Flush();
  // Reads the next line without its line end; false at the end of the file
  // or on a read error (then GetLastError is set, else ERROR_HANDLE_EOF;
  // ERROR_INSUFFICIENT_BUFFER for a line longer than kMaxLine).
  bool ReadString(std::string& line);
  // Size of the open file in bytes, 0 when unknown.
  unsigned long long Length() const;
  // Writes what is buffered, then releases lock and descriptor.
  bool Close();

private:
  bool fill();

  int m_fd = -1;
  bool m_text = false;
  bool m_failed = false;
  std::string m_out;
  std::string m_in;
  std::size_t m_inPos = 0;
  bool m_eof = false;
  const char* m_refusedKind = nullptr;
};

// Opens name read-only without waiting (O_NONBLOCK: a FIFO without a writer
// would block the open) and keeps it only when it is a regular file. -1 with
// errno set when it cannot be opened, or with *kind naming what it is.
int openRegularForReading(const char* name, const char** kind);

// What name is ("a FIFO", "a directory", ...) when it exists and is no
// regular file; null for a regular file or a name not there yet.
const char* nonRegularKind(const char* name);

}  // namespace zor
