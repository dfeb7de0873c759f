// Local pipes: their names and the pipe folder (the ends are transports,
// pipe_transport.h; the server's instance is pipe_listener.h).
#pragma once

#include <zor/platform.h>

#include <cstddef>
#include <string>

namespace zor {

// Claims names that start with two backslashes (pipe_socket.cpp).
bool isPipeName(const char* name);

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
