// CTcpPipe: one end of a TCP link made of two connections, one per direction.
//
// The client connects to the server's port and only sends on it; the server
// connects back to the client on the next port and only sends on that one.
// Each channel owns a second channel for the reverse connection, whose
// receives reach the owner's read handler.
// A listening channel runs a worker thread: it accepts one client, calls it
// back, and delivers what the client sends to the read handler, chunk by chunk and in
// order. Each caller is called back on a thread of its own while the channel
// goes on listening, so a caller whose call back hangs costs the others
// nothing; the first call back answered makes the link. When the link breaks
// it listens again by itself.
//
// The reverse channel admits one caller as the server: on the loopback, where
// every local process calls from a server's address, only a socket of this
// process's own user; elsewhere only the server's address (and, when the caller
// is a socket of this computer, again only one of this user).
#pragma once

#include "zor/core/workerthread.h"
#include "zor/platform/socket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

class CTcpPipe final {
public:
  enum ChannelState { Listening = 0, Accepting = 1, Linking = 2, Receiving = 3, Stopped = 4 };
  // Called on the receiving thread with each completed receive (at most the I/O size).
  using ReadHandler = std::function<void(const void* data, unsigned long size)>;
  // Called on the receiving thread: true when the link is up, false when it ended.
  using ConnectHandler = std::function<void(bool connected)>;
  // Called on the receiving thread when a call back was refused; who: the caller's address, port and owner.
  using StrangerHandler = std::function<void(const std::string& who)>;

  explicit CTcpPipe(unsigned long ioSize);
  ~CTcpPipe();
  CTcpPipe(const CTcpPipe&) = delete;
  CTcpPipe& operator=(const CTcpPipe&) = delete;

  // Set before listen or connect; the destructor stops the thread that calls them.
  void setHandlers(ReadHandler onRead, ConnectHandler onConnect = nullptr,
                   StrangerHandler onStranger = nullptr);

  // Server role: listens on port of the address (network order; INADDR_ANY: all); one client at a time.
  bool listen(int port, std::uint32_t address = INADDR_ANY);
  // Client role: listens on port + 1 of the local address routed to host,
  // connects to host:port, waits for the call back, which only host may make.
  bool connect(const char* host, int port);
  // Sends the whole block with one send: on the connection a client opened, or
  // (listening channel) on the reverse connection. Safe from any thread.
  bool write(const void* data, unsigned long size);
  bool writeString(const char* text);
  // Dotted address of the client (server side); empty otherwise.
  std::string peerAddress() const;
  // Server side: true unless a client is linked and has neither closed nor
  // lost either connection (bytes of its still waiting do not count). Never waits.
  bool peerLeft() const;
  void close();

  ChannelState state() const { return m_state.load(); }
  bool broken() const { return m_broken.load(); }
  unsigned long ioSize() const { return m_ioSize; }

  // The client's wait for the server's call back: 10000 ms (tests shorten it).
  static std::atomic<DWORD> s_peerWaitMs;
  // Pause between two attempts to call a client back.
  static constexpr DWORD kLinkRetryMs = 250;
  // How long a call back may take to be answered ("Connection Timeout").
  static DWORD callBackMs();
  // Call backs made at once; further callers wait in the listen queue.
  static constexpr std::size_t kMaxCallBacks = 8;

private:
  struct ReverseTag {};
  // One caller being called back. Its thread only makes the reverse
  // connection; the listening thread owns the rest and ends it.
  struct CallBack {
    enum Outcome { kCalling, kAnswered, kFailed };
    SOCKET socket = INVALID_SOCKET;  // the caller's connection, not read before the link
    std::string peer;
    std::shared_ptr<CTcpPipe> reverse;
    std::atomic<Outcome> outcome{kCalling};
    WSAEVENT wake = nullptr;  // the listening thread's accept event: set when the outcome is known
    CWorkerThread thread;
    // Ends the attempt at once; nothing of it is left.
    void end();
  };
  // The reverse channel of owner: it listens for the server's call back.
  CTcpPipe(ReverseTag, unsigned long ioSize);
  // Preparation of either kind of channel; the owning one adds its reverse
  // channel and the socket library start.
  bool prepare();
  // Waits for the reverse connection (at most s_peerWaitMs); true when it exists.
  bool waitPeer();
  // Stops the receiving thread and closes everything.
  void shutdown();
  void run();
  bool openListener();
  void closeListener();
  bool openConnection(const sockaddr_in& to, DWORD milliseconds);
  // Ends a connection attempt in progress (from another thread).
  void abortConnect();
  void stateListening();
  void stateAccepting();
  void stateLinking();
  // Listening side: calls the caller on s back on a thread of its own.
  void startCallBack(SOCKET s, const sockaddr_in& caller);
  // Ends the finished call backs; true when one was answered and became the link.
  bool reapCallBacks();
  // Ends every call back still made (they are aborted at once).
  void endCallBacks();
  // Reverse channel: whether the caller on s may be taken for the server.
  bool admits(SOCKET s, const sockaddr_in& caller, std::string& who) const;
  void receiveLoop();
  bool postReceive();
  bool completionWait();
  void setState(ChannelState s);
  void markBroken();
  bool exitRequested() const;
  void setPeerAddress(const std::string& address);
  std::shared_ptr<CTcpPipe> reverse() const;
  void closeCompletionPort();

  std::atomic<HANDLE> m_port{nullptr};
  CWorkerThread m_thread;
  const unsigned long m_ioSize;
  const bool m_isReverse = false;
  ReadHandler m_onRead;
  ConnectHandler m_onConnect;
  StrangerHandler m_onStranger;
  OVERLAPPED m_recvOvl{};
  std::atomic<bool> m_broken{false};
  std::atomic<SOCKET> m_socket{INVALID_SOCKET};    // the connection
  std::atomic<SOCKET> m_listener{INVALID_SOCKET};  // listening role
  std::atomic<SOCKET> m_connecting{INVALID_SOCKET};
  std::atomic<bool> m_abort{false};       // the owner is going: no connection attempt any more
  std::uint32_t m_onlyFrom = INADDR_ANY;  // reverse channel: the server's address
  std::uint32_t m_bindFrom = INADDR_ANY;  // a call back leaves from the address the client reached
  sockaddr_in m_bindAddress{};
  std::atomic<int> m_portNumber{0};
  mutable std::mutex m_peerMutex;
  std::string m_peerAddress;
  std::string m_host;
  std::atomic<bool> m_listening{false};
  WSAEVENT m_acceptEvent = nullptr;
  bool m_acceptPaused = false;  // every call back in use: accepts not selected
  unsigned char* m_recvBuffer = nullptr;
  WSABUF m_recvDesc{0, nullptr};
  std::atomic<ChannelState> m_state{Stopped};
  mutable std::mutex m_reverseMutex;
  std::shared_ptr<CTcpPipe> m_reverse;

  bool m_started = false;               // this channel's preparation started the socket library
  bool m_recvOutstanding = false;       // a receive is posted and its completion not yet taken
  std::atomic<bool> m_stopping{false};  // the owner is stopping the thread: no reopening
  std::mutex m_stateMutex;
  std::condition_variable m_stateChanged;
  std::vector<std::unique_ptr<CallBack>> m_callBacks;  // the listening thread's (or close's once it ended)
};

}  // namespace zor
