// What the server and the client ends of a local pipe share: the name rules,
// the lock file beside the socket that tells "busy" from "no server", and the
// client's connect.
//
// "\\HOST\PIPE\NAME" is the Unix domain stream socket NAME in this user's
// pipe folder, and HOST must be this computer. A server instance holds byte 0
// of "NAME.lock" while it exists and byte 1 while it serves a client, with
// open-file-description locks that die with their holder, so a client that
// cannot connect knows whether the pipe is busy or its socket is stale.
#pragma once

#include "zor/platform/reactor.h"

#include <zor/platform.h>

#include <atomic>
#include <memory>
#include <string>

namespace zor {

// "\\HOST\PIPE\NAME" to the socket's path. ERROR_SUCCESS, or the Win32 code
// of the fault: ERROR_INVALID_NAME, ERROR_BAD_NETPATH (another computer: one
// line on standard error says what to use instead), ERROR_FILENAME_EXCED_RANGE,
// or the pipe folder's.
DWORD resolvePipeName(const char* name, std::string& path);

// The socket's mode in the folder: the group's too when a group shares it.
unsigned pipeSocketMode(const std::string& path);

enum class PipeServerState { Gone, Free, Busy };
PipeServerState pipeServerState(const std::string& path);

// Byte 0 (instance) or 1 (serving) of an open lock file: taken (exclusive) or
// released. False when another holds it.
bool lockPipeByte(int lockFd, int byte, bool take);

// A connected, non-blocking socket to the server at path, or -1 with *error:
// ERROR_FILE_NOT_FOUND (no server), ERROR_PIPE_BUSY (its instance serves
// another client). A busy server is waited for at most busyWaitMs, looking
// every few milliseconds, then asked once more.
int connectPipeSocket(const std::string& path, unsigned long busyWaitMs, DWORD* error);

// Waits at most ms until the server at path can take a client: ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND at once when there is none, else ERROR_SEM_TIMEOUT.
DWORD waitForFreePipe(const std::string& path, unsigned long ms);

// Sets an event, once for each arm(), when a descriptor becomes readable: a
// thread then waits for events and for several descriptors at once. Its owner
// serialises the calls and calls remove() before it closes the descriptor.
class ReadableSignal {
public:
  ~ReadableSignal() { remove(); }
  bool arm(int fd, HANDLE event);
  void remove();

private:
  Reactor::Id m_id = 0;
  // The reactor's callback holds it, never its owner: it may run a moment after remove().
  std::shared_ptr<std::atomic<HANDLE>> m_target;
};

}  // namespace zor
