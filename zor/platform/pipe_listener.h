// A local pipe's server instance: the listening socket NAME in the pipe
// folder, serving one client.
//
// It accepts the first client that connects and then stops listening, so that
// a second one finds the pipe busy; it serves no other after it. Beside the
// socket it holds the lock file's bytes (pipe_socket.h) that let a client tell
// a busy pipe from a stale socket, and a second server of the name from a
// first one. Who may connect is decided by the folder's and the socket's modes.
#pragma once

#include "zor/platform/pipe_socket.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/reactor.h"

#include <zor/platform.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

class PipeListener {
public:
  // Makes the instance of "\\.\PIPE\NAME". Null with *error: ERROR_PIPE_BUSY
  // another server has it, ERROR_FILE_EXISTS something that is no socket of a
  // server is in the way, the name's codes (resolvePipeName) or a system one.
  static std::unique_ptr<PipeListener> create(const char* name, DWORD* error);
  ~PipeListener();
  PipeListener(const PipeListener&) = delete;
  PipeListener& operator=(const PipeListener&) = delete;

  // Takes the client, waiting at most timeoutMs (0: only one already there).
  // Null with *error: ERROR_PIPE_LISTENING none came, ERROR_OPERATION_ABORTED
  // cancelled, ERROR_BAD_PIPE it has served its client already,
  // ERROR_INVALID_HANDLE closed. One accept at a time.
  std::unique_ptr<PipeTransport> accept(unsigned long timeoutMs, DWORD* error);
  // Ends a waiting accept at once, or the next one that begins.
  void cancel();
  // Sets event once a client is waiting to be accepted; asked again for each
  // time. False once it has served its client or is closed.
  bool signalWhenClientWaits(HANDLE event);
  // Removes the socket and gives the name up; a client it accepted stays connected.
  void close();

private:
  explicit PipeListener(std::string path);
  DWORD open();

  const std::string m_path;
  std::mutex m_mutex;  // guards all below but the atomics
  bool m_closed = false;
  bool m_bound = false;
  int m_lockFd = -1;
  int m_socket = -1;
  int m_accepting = 0;  // an accept that waits on m_socket: close() waits for it
  std::condition_variable m_idle;
  ReadableSignal m_watch;
  std::atomic<bool> m_cancel{false};
  Reactor::WakeDescriptor m_wake;
};

}  // namespace zor
