// A path as a transport: a regular file, a FIFO or a character device.
//
// The descriptor is non-blocking and waits as fd_transport.h tells. A
// regular file never waits: its reads take what is there (0 at
// its end) and it offers no descriptor to wait on. The end of a FIFO's data
// (its last writer gone) and a write to a FIFO whose reader has gone fail as
// a pipe's do: ERROR_BROKEN_PIPE.
#pragma once

#include "zor/platform/fd_transport.h"
#include "zor/platform/transport_openers.h"

#include <atomic>
#include <memory>

namespace zor {

class FileTransport final : public DescriptorTransport {
public:
  // Takes an open descriptor (made non-blocking here).
  explicit FileTransport(int fd);

  int readableDescriptor() const override;
  bool flush() override;

private:
  long attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) override;

  bool m_regular = false;  // fixed at construction
  bool m_fifo = false;
  // A device whose read found the end (/dev/null): it stays at its end, and
  // waiting on it would never wait.
  std::atomic<bool> m_ended{false};
};

// Opens an existing path for the directions asked, without waiting (a FIFO
// without a writer does not hold the open up). Null with *error: the
// system's code (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ...),
// ERROR_ACCESS_DENIED for a directory.
std::unique_ptr<Transport> openFileTransport(const TransportRequest& request, DWORD* error);

}  // namespace zor
