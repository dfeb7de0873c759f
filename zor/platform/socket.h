// Stream sockets in the shape of the socket library the remote channels were
// written against: IPv4 TCP only, event selection for accept, overlapped
// receives completed through a completion port.
//
// A SOCKET is a handle of the handle table: a socket closed by one thread
// stays valid for a call another thread is still inside (that call fails), and
// its descriptor is never reused under a stale SOCKET value.
//
// Errors are left in the calling thread's last error as WSAE... codes.
//
// Include this header before any system header: the constant names below are
// macros there.
#pragma once

#include <zor/platform.h>

#include <cstdint>
#include <functional>

namespace zor {

using SOCKET = std::uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOMAXCONN = 0x7fffffff;
constexpr std::uint32_t INADDR_ANY = 0;
constexpr std::uint32_t INADDR_NONE = 0xffffffff;
// WSAIoctl: the local address a connection to the given address would leave from.
constexpr DWORD SIO_ROUTING_INTERFACE_QUERY = 0xC8000014;
constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;

constexpr DWORD WSA_IO_PENDING = ERROR_IO_PENDING;
constexpr DWORD WSANOTINITIALISED = 10093;
constexpr DWORD WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
constexpr DWORD WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
constexpr DWORD WSA_WAIT_FAILED = WAIT_FAILED;

// Network event bits of event selection.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

// Plain structures, as the socket library has them: value-initialise them.
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};

struct in_addr {
  std::uint32_t s_addr;  // network order
};

struct sockaddr {
  std::uint16_t sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  std::int16_t sin_family;
  std::uint16_t sin_port;  // network order
  in_addr sin_addr;
  char sin_zero[8];
};

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

struct WSABUF {
  unsigned long len;
  char* buf;
};

struct WSANETWORKEVENTS {
  long lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};

using WSAOVERLAPPED = OVERLAPPED;
using WSAEVENT = HANDLE;

constexpr std::uint16_t htons(std::uint16_t v) { return static_cast<std::uint16_t>((v << 8) | (v >> 8)); }
constexpr std::uint16_t ntohs(std::uint16_t v) { return htons(v); }
constexpr WORD MAKEWORD(int low, int high) { return static_cast<WORD>((low & 0xff) | ((high & 0xff) << 8)); }

// POSIX sockets need no start-up: the calls only count their users, and an
// unpaired cleanup never takes the count below 0 nor affects open sockets.
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET WSASocketA(int af, int type, int protocol, void* protocolInfo, unsigned group, DWORD flags);
SOCKET socket(int af, int type, int protocol);
// Listening sockets may rebind a port whose earlier connections linger.
int bind(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* length);
// Gives up after milliseconds (10 s unless told) with WSAETIMEDOUT; closesocket
// from another thread ends the attempt at once.
int connect(SOCKET s, const sockaddr* address, int length, DWORD milliseconds = 10000);
// Only SIO_ROUTING_INTERFACE_QUERY: in is the sockaddr_in of a destination,
// out receives the sockaddr_in of the local address routed to it (port 0).
int WSAIoctl(SOCKET s, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
             WSAOVERLAPPED* ovl, void* completionRoutine);
// Never raises a signal on a broken connection; reports WSAECONNRESET or WSAESHUTDOWN.
int send(SOCKET s, const char* data, int length, int flags);
// Ends the connection at once: calls blocked on the socket return, a pending
// receive completes with ERROR_OPERATION_ABORTED.
int closesocket(SOCKET s);

// IPv4 name look-up; the result stays valid until the calling thread's next look-up.
hostent* gethostbyname(const char* name);
// Dotted form; valid until the calling thread's next call.
char* inet_ntoa(in_addr address);
// Network-order address of a dotted IPv4 address; INADDR_NONE when it is none.
std::uint32_t inet_addr(const char* dotted);
int gethostname(char* name, int length);

// Event selection: an event records the selected network events of its socket.
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT event);
BOOL WSAResetEvent(WSAEVENT event);
// Wakes the waiters of the event, as if a network event had been recorded.
BOOL WSASetEvent(WSAEVENT event);
int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents);
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, WSANETWORKEVENTS* events);
// Waits without spinning until a selected event of one socket occurs.
DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD milliseconds,
                               BOOL alertable);

// Overlapped receive into one buffer of a socket associated with a completion
// port. One receive per socket at a time. Whether it completes at once (return
// 0) or later (SOCKET_ERROR, WSA_IO_PENDING), its completion is queued on the
// port exactly once; a receive that fails at once queues nothing.
int WSARecv(SOCKET s, WSABUF* buffers, DWORD count, DWORD* received, DWORD* flags, WSAOVERLAPPED* ovl,
            void* completionRoutine);

// Completion ports. With file INVALID_HANDLE_VALUE a new port is made;
// otherwise the socket `file` is associated with `existing` under `key`.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads);
// Dequeues one packet, waiting up to milliseconds. A packet of a failed receive
// returns FALSE with *ovl set; a time-out returns FALSE with *ovl null and
// last error WAIT_TIMEOUT.
BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* count, ULONG_PTR* key, OVERLAPPED** ovl,
                               DWORD milliseconds);
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD count, ULONG_PTR key, OVERLAPPED* ovl);

inline HANDLE socketHandle(SOCKET s) { return reinterpret_cast<HANDLE>(s); }

// For the platform's own socket helpers (socket_peer.cpp): runs use with the
// socket's descriptor, which stays open until use returns; false with
// WSAENOTSOCK when s is no open socket.
bool withSocketDescriptor(SOCKET s, const std::function<void(int descriptor)>& use);

}  // namespace zor
