// The other end of a connection, asked of the kernel: NETLINK_SOCK_DIAG finds
// a local socket by its exact addresses and reports its owner.
#include "zor/platform/tcp.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace zor {
namespace {

bool addresses(int fd, ::sockaddr_in& local, ::sockaddr_in& peer) {
  socklen_t a = sizeof local;
  socklen_t b = sizeof peer;
  return ::getsockname(fd, reinterpret_cast<::sockaddr*>(&local), &a) == 0 &&
         ::getpeername(fd, reinterpret_cast<::sockaddr*>(&peer), &b) == 0 && local.sin_family == AF_INET &&
         peer.sin_family == AF_INET;
}

// Asks for the TCP socket whose own end is `from` and whose peer is `to`.
PeerOwner lookUp(const ::sockaddr_in& from, const ::sockaddr_in& to, unsigned long& uid) {
  int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return PeerOwner::Unknown;
  // The kernel answers while it takes the request; the limit only guards against a kernel that does not.
  ::timeval limit{1, 0};
  ::setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  struct {
    ::nlmsghdr header;
    ::inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  ::inet_diag_sockid& id = message.request.id;
  id.idiag_sport = from.sin_port;
  id.idiag_dport = to.sin_port;
  id.idiag_src[0] = from.sin_addr.s_addr;
  id.idiag_dst[0] = to.sin_addr.s_addr;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  ::sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  PeerOwner result = PeerOwner::Unknown;
  alignas(::nlmsghdr) char reply[8192];
  ssize_t n = -1;
  if (::sendto(nl, &message, sizeof message, 0, reinterpret_cast<::sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof message)) {
    do n = ::recv(nl, reply, sizeof reply, 0);
    while (n < 0 && errno == EINTR);
  }
  for (auto* h = reinterpret_cast<::nlmsghdr*>(reply); n > 0 && NLMSG_OK(h, static_cast<unsigned>(n));
       h = NLMSG_NEXT(h, n)) {
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(::inet_diag_msg))) break;
    const auto* found = static_cast<const ::inet_diag_msg*>(NLMSG_DATA(h));
    bool same = found->id.idiag_sport == from.sin_port && found->id.idiag_dport == to.sin_port &&
                found->id.idiag_src[0] == from.sin_addr.s_addr &&
                found->id.idiag_dst[0] == to.sin_addr.s_addr;
    if (!same) continue;
    // A closed or half-made socket is reported with uid 0, which would pass for root's.
    if (found->idiag_state != TCP_ESTABLISHED) {
      result = PeerOwner::Other;
      break;
    }
    uid = found->idiag_uid;
    result = found->idiag_uid == ::geteuid() ? PeerOwner::Same : PeerOwner::Other;
    break;
  }
  ::close(nl);
  return result;
}

}  // namespace

PeerOwner TcpTransport::peerOwner(unsigned long* uid) const {
  ::sockaddr_in local{};
  ::sockaddr_in peer{};
  bool known;
  known = withDescriptor([&](int fd) { return fd >= 0 && addresses(fd, local, peer); });
  if (uid != nullptr) *uid = kNoUser;
  if (!known) return PeerOwner::Unknown;
  unsigned long owner = kNoUser;
  PeerOwner result = lookUp(peer, local, owner);
  if (uid != nullptr) *uid = owner;
  return result;
}

}  // namespace zor
