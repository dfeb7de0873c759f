// CTcpPipe: one end of a TCP link made of two connections, one per direction.
//
// The client connects to the server's port and only sends on it; the server
// connects back to the client on the next port and only sends on that one.
// Each channel owns a second channel for the reverse connection, whose
// receives reach the owner's read handler.
// A listening channel runs a worker thread: it accepts one client, calls it
// back, and delivers what the client sends to the read handler, chunk by chunk and in
// order. It goes on listening while it calls back, so that a caller whose call
// back fails costs the next client nothing. When the link breaks it listens again
// by itself.
#pragma once

#include "zor/core/workerthread.h"
#include "zor/platform/socket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

class CTcpPipe final {
public:
  enum ChannelState { Listening = 0, Accepting = 1, Linking = 2, Receiving = 3, Stopped = 4 };
  // Called on the receiving thread with each completed receive (at most the I/O size).
  using ReadHandler = std::function<void(const void* data, unsigned long size)>;
  // Called on the receiving thread: true when the link is up, false when it ended.
  using ConnectHandler = std::function<void(bool connected)>;
  // Called on the receiving thread when a call back from another address than the server's was refused.
  using StrangerHandler = std::function<void(const std::string& address)>;

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

private:
  struct ReverseTag {};
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
  std::uint32_t m_onlyFrom = INADDR_ANY;  // reverse channel: the one caller it accepts
  sockaddr_in m_bindAddress{};
  std::atomic<int> m_portNumber{0};
  mutable std::mutex m_peerMutex;
  std::string m_peerAddress;
  std::string m_host;
  std::atomic<bool> m_listening{false};
  WSAEVENT m_acceptEvent = nullptr;
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
};

}  // namespace zor
