// A connected end of a local pipe (either side) as a transport, and the
// client's open by name.
//
// Transfers wait in the reactor's direct wait on the socket and on a wake
// descriptor of each direction, so cancel() ends a wait at once and the RX
// and TX threads never wake each other. A peer that has gone reads as a
// pipe's does: ERROR_BROKEN_PIPE to a reader, ERROR_NO_DATA to a writer.
#pragma once

#include "zor/platform/pipe_socket.h"
#include "zor/platform/reactor.h"
#include "zor/platform/transport.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zor {

class PipeTransport final : public Transport {
public:
  // Takes a connected, non-blocking stream socket.
  explicit PipeTransport(int fd);
  ~PipeTransport() override;
  PipeTransport(const PipeTransport&) = delete;
  PipeTransport& operator=(const PipeTransport&) = delete;

  long read(void* buffer, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  long write(const void* data, unsigned long size, unsigned long timeoutMs, DWORD* error) override;
  int readableDescriptor() const override { return m_fd.load(); }
  void cancel(bool input) override;
  void close() override;

  // False when a wake descriptor could not be made: such a transport is not used.
  bool usable() const { return m_wake[0].fd >= 0 && m_wake[1].fd >= 0; }
  // The process at the other end (the one that connected, or the server); 0
  // when unknown or closed.
  DWORD peerProcessId() const;
  // True once the other end has closed (or the connection failed), even
  // while bytes it sent wait unread; also when this end is closed. Never waits.
  bool peerHasLeft() const;
  // Sets event once the next read would not wait (bytes, the peer's leaving,
  // an error), for a thread that waits for events and for this end at once
  // without reading it; asked again for each time. False when closed.
  bool signalWhenReadable(HANDLE event);

private:
  // Keeps the descriptor open while a transfer uses it: close() waits for it.
  class Lease;

  mutable std::mutex m_mutex;  // guards all below but the atomics
  bool m_closed = false;
  int m_leases = 0;
  std::condition_variable m_released;
  ReadableSignal m_watch;
  std::atomic<int> m_fd;
  std::atomic<bool> m_cancel[2] = {false, false};  // [0] input, [1] output
  Reactor::WakeDescriptor m_wake[2];
};

// Connects to the server of "\\HOST\PIPE\NAME" (HOST this computer). Null with
// *error: ERROR_FILE_NOT_FOUND no server, ERROR_PIPE_BUSY it serves another
// client even after busyWaitMs, ERROR_INVALID_NAME, ERROR_BAD_NETPATH,
// ERROR_FILENAME_EXCED_RANGE, or the pipe folder's code.
std::unique_ptr<PipeTransport> connectLocalPipe(const char* name, unsigned long busyWaitMs, DWORD* error);

// The device's open of a local pipe: a busy server is waited for a pipe's
// default time-out (50 ms) once.
std::unique_ptr<Transport> openLocalPipeTransport(const char* name, DWORD* error);

}  // namespace zor
