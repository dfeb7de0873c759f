// A path as a transport: a regular file, a FIFO or a character device.
//
// The descriptor is non-blocking; a transfer that has to wait does so in the
// reactor's direct wait on the descriptor and on a wake descriptor of its
// direction, so cancel() ends it at once and the RX and TX threads never wake
// each other. A regular file never waits: its reads take what is there (0 at
// its end) and it offers no descriptor to wait on. The end of a FIFO's data
// (its last writer gone) and a write to a FIFO whose reader has gone fail as
// a pipe's do: ERROR_BROKEN_PIPE.
#pragma once

#include "zor/platform/reactor.h"
#include "zor/platform/transport_openers.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zor {

class FileTransport final : public Transport {
public:
  // Takes an open descriptor (made non-blocking here).
  explicit FileTransport(int fd);
  ~FileTransport() override;
  FileTransport(const FileTransport&) = delete;
  FileTransport& operator=(const FileTransport&) = delete;

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  int readableDescriptor() const override;
  void cancel(bool input) override;
  bool flush() override;
  void close() override;

  // False when a wake descriptor could not be made: such a transport is not used.
  bool usable() const { return m_wake[0].fd >= 0 && m_wake[1].fd >= 0; }

private:
  // Keeps the descriptor open while a transfer uses it: close() waits for it.
  class Lease;

  long transfer(bool input, char* bytes, unsigned long size, unsigned long timeoutMs, DWORD* error);

  std::mutex m_mutex;  // guards m_closed and m_leases
  bool m_closed = false;
  int m_leases = 0;
  std::condition_variable m_released;
  std::atomic<int> m_fd;
  bool m_regular = false;  // fixed at construction
  bool m_fifo = false;
  // A device whose read found the end (/dev/null): it stays at its end, and
  // waiting on it would never wait.
  std::atomic<bool> m_ended{false};
  std::atomic<bool> m_cancel[2] = {false, false};  // [0] input, [1] output
  Reactor::WakeDescriptor m_wake[2];
};

// Opens an existing path for the directions asked, without waiting (a FIFO
// without a writer does not hold the open up). Null with *error: the
// system's code (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ...),
// ERROR_ACCESS_DENIED for a directory.
std::unique_ptr<Transport> openFileTransport(const TransportRequest& request, DWORD* error);

}  // namespace zor
