// The files the terminal's transfers send and receive: the program's own, read
// and written directly.
#pragma once

#include <cstddef>

namespace zor {

class TransferFile {
public:
  TransferFile() = default;
  ~TransferFile() { close(); }
  TransferFile(const TransferFile&) = delete;
  TransferFile& operator=(const TransferFile&) = delete;

  // An existing regular file, to read: a FIFO or a device would never end,
  // and opening one does not wait. False when it cannot be had or is no regular file.
  bool openToRead(const char* path);
  // Created, or an existing one emptied, to write. A directory is refused.
  bool create(const char* path);
  bool ok() const { return m_fd >= 0; }
  // Of a file opened to read.
  unsigned long long size() const { return m_size; }
  // The bytes read, 0 at the end; -1 on an error.
  long read(void* buffer, std::size_t size);
  bool writeAll(const void* data, std::size_t size);
  // What was written reaches the disk: false when it cannot (a full disk).
  bool flush();
  bool close();

private:
  int m_fd = -1;
  unsigned long long m_size = 0;
};

}  // namespace zor
