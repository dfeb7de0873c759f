// Local pipes: "\\HOST\PIPE\NAME" is the Unix domain stream socket NAME in
// this user's pipe folder, and HOST must be this computer.
//
// A server instance (CreateNamedPipeA) listens on the socket and serves one
// client: it accepts the first that connects and stops listening until it is
// closed, so that a second client finds it busy. Beside the socket a lock file
// "NAME.lock" tells a client that cannot connect whether a server is alive (a
// busy pipe) or gone (a stale socket), with open-file-description locks that
// die with their holder: byte 0 while an instance exists, byte 1 while it
// serves a client.
#pragma once

#include "zor/platform/opener.h"

#include <cstddef>
#include <string>

namespace zor {

// Claims names that start with two backslashes.
bool isPipeName(const char* name);
// Client open: connects to the server instance of the name.
HANDLE openPipeClient(const OpenRequest& request);

// The pipe folder: $ZOR_PIPE_DIR, else $XDG_RUNTIME_DIR/zor, else
// /tmp/zor-<uid>; created 0700 when missing. Empty, with the last error set
// and one line on standard error (in *problem instead, when given), when it
// cannot be made or is not safe: $ZOR_PIPE_DIR when another user owns it or
// others may write it (a group's shared folder excepted); the default folder
// unless it is, without following a link, a folder of this user's with mode 0700.
std::string pipeFolder(std::string* problem = nullptr);
// A folder a group shares on purpose (group-writable with the set-group-id
// bit, this user in that group): its sockets are made for the group too.
bool isSharedPipeFolder(const std::string& folder);
// The longest path a pipe's socket may have.
constexpr std::size_t kLongestPipePath = 107;

}  // namespace zor
