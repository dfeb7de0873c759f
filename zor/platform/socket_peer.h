// Who is at the other end of a TCP connection, and whether it is still there.
#pragma once

#include "zor/platform/socket.h"

namespace zor {

// Local address of a bound or connected socket.
int getsockname(SOCKET s, sockaddr* address, int* length);

enum class PeerOwner {
  Same,     // a socket of this computer owned by the user this process runs as
  Other,    // a socket of this computer owned by another user, or not in use by a live connection
  Unknown,  // no socket of this computer: the peer is another host (or the kernel cannot tell)
};

// The owner of the other end of the connected socket s, by the kernel's
// socket diagnostics: the socket with the mirrored addresses. Only an
// established socket counts as found: sockets already closed are reported
// without their owner. uid (when not null) receives the owner, or kNoUser.
constexpr unsigned long kNoUser = ~0ul;
PeerOwner connectionPeerOwner(SOCKET s, unsigned long* uid = nullptr);

// True once the peer has ended its sending or the connection failed, even
// while received bytes wait unread; also for a socket that is closed. Never waits.
bool peerHasLeft(SOCKET s);

}  // namespace zor
