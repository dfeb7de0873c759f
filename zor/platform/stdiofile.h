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

  // False with GetLastError set (ERROR_SHARING_VIOLATION when the lock is
  // held elsewhere, ERROR_ACCESS_DENIED for a directory, ...).
  bool Open(const char* name, unsigned flags);
  bool IsOpen() const { return m_fd >= 0; }
  // Buffers the text; Flush or Close writes it. False once a write has failed.
  bool WriteString(const char* text);
  bool Flush();
  // Reads the next line without its line end; false at the end of the file
  // or on a read error (then GetLastError is set, else ERROR_HANDLE_EOF).
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
};

}  // namespace zor
