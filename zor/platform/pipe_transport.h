// A connected end of a local pipe (either side) as a transport, and the
// client's open by name.
//
// Transfers wait as fd_transport.h tells. A peer that has gone reads as a
// pipe's does: ERROR_BROKEN_PIPE to a reader, ERROR_NO_DATA to a writer.
#pragma once

#include "zor/platform/fd_transport.h"
#include "zor/platform/pipe_socket.h"

#include <memory>

namespace zor {

class PipeTransport final : public DescriptorTransport {
public:
  // Takes a connected, non-blocking stream socket.
  explicit PipeTransport(int fd) : DescriptorTransport(fd) {}
  ~PipeTransport() override { close(); }

  // The process at the other end (the one that connected, or the server); 0
  // when unknown or closed.
  DWORD peerProcessId() const;
  // True once the other end has closed (or the connection failed), even
  // while bytes it sent wait unread; also when this end is closed. Never waits.
  bool peerHasLeft() const { return socketPeerHasLeft(); }
  // Sets event once the next read would not wait (bytes, the peer's leaving,
  // an error), for a thread that waits for events and for this end at once
  // without reading it; asked again for each time. False when closed.
  bool signalWhenReadable(HANDLE event);

private:
  long attempt(bool input, int fd, char* bytes, unsigned long size, unsigned seen, DWORD* code) override;
  void beforeClose(int fd) override;

  ReadableSignal m_watch;  // armed and removed under the lock close() takes
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
