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
#include "zor/platform/tcp.h"

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

  // Server role: listens on port of the address (network order; kAnyAddress: all); one client at a time.
  bool listen(int port, std::uint32_t address = kAnyAddress);
  // Client role: listens on port + 1 of the local address routed to host,
  // connects to host:port, waits for the call back, which only host may make.
  bool connect(const char* host, int port);
  // Client role, set before connect: the server's bytes are left in the
  // reverse connection for the owner to read itself (receiving()), on its own
  // thread, instead of reaching the read handler through the channel's.
  void setOwnerReads(bool on) { m_ownerReads = on; }
  // Client role: the reverse connection, once the server called back; null before.
  std::shared_ptr<TcpTransport> receiving() const;
  // Sends the whole block with one send: on the connection a client opened, or
  // (listening channel) on the reverse connection. Safe from any thread.
  bool write(const void* data, unsigned long size);
  // What the connection takes at once, never waiting (also not for another
  // writer): the count, or -1 without a connection or on an error.
  long writeNow(const void* data, unsigned long size);
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
    std::unique_ptr<TcpTransport> socket;  // the caller's connection, not read before the link
    std::string peer;
    std::shared_ptr<CTcpPipe> reverse;
    std::atomic<Outcome> outcome{kCalling};
    TcpListener* wake = nullptr;  // the listening thread's listener: woken when the outcome is known
    CWorkerThread thread;
    // Ends the attempt at once; nothing of it is left.
    void end();
  };
  // The reverse channel of owner: it listens for the server's call back.
  CTcpPipe(ReverseTag, unsigned long ioSize);
  // Preparation of either kind of channel; the owning one adds its reverse channel.
  bool prepare();
  // Waits for the reverse connection (at most s_peerWaitMs); true when it exists.
  bool waitPeer();
  // Stops the receiving thread and closes everything.
  void shutdown();
  // Ends the receiving thread's present wait (from another thread).
  void wakeThread();
  void run();
  bool openListener();
  void closeListener();
  bool openConnection(const TcpAddress& to, DWORD milliseconds);
  // Ends a connection attempt in progress (from another thread).
  void abortConnect();
  void stateListening();
  void stateAccepting();
  void stateLinking();
  // Listening side: calls the caller on s back on a thread of its own.
  void startCallBack(std::unique_ptr<TcpTransport> s, const TcpAddress& caller);
  // Ends the finished call backs; true when one was answered and became the link.
  bool reapCallBacks();
  // Ends every call back still made (they are aborted at once).
  void endCallBacks();
  // Reverse channel: whether the caller on s may be taken for the server.
  bool admits(const TcpTransport& s, const TcpAddress& caller, std::string& who) const;
  void receiveLoop();
  // One receive; false when the link ended or the thread is to stop.
  bool receiveOne(TcpTransport& s);
  void setState(ChannelState s);
  void markBroken();
  bool exitRequested() const;
  void setPeerAddress(const std::string& address);
  std::shared_ptr<CTcpPipe> reverse() const;
  std::shared_ptr<TcpTransport> socket() const;
  std::shared_ptr<TcpTransport> takeSocket();
  void setSocket(std::shared_ptr<TcpTransport> s);

  CWorkerThread m_thread;
  const unsigned long m_ioSize;
  const bool m_isReverse = false;
  ReadHandler m_onRead;
  ConnectHandler m_onConnect;
  StrangerHandler m_onStranger;
  std::atomic<bool> m_broken{false};
  // The connection: writers on other threads hold it while they send, so a
  // close elsewhere ends their send rather than pulling it from under them.
  mutable std::mutex m_socketMutex;
  std::shared_ptr<TcpTransport> m_socket;
  std::mutex m_writeMutex;                 // one block leaves whole before the next
  TcpListener m_listener;                  // listening role; only its wake() is for other threads
  TcpStop m_connectStop;                   // the owner is going: no connection attempt any more
  std::uint32_t m_onlyFrom = kAnyAddress;  // reverse channel: the server's address
  std::uint32_t m_bindFrom = kAnyAddress;  // a call back leaves from the address the client reached
  TcpAddress m_bindAddress;
  std::atomic<int> m_portNumber{0};
  mutable std::mutex m_peerMutex;
  std::string m_peerAddress;
  std::string m_host;
  std::atomic<bool> m_listening{false};
  std::atomic<bool> m_ownerReads{false};
  unsigned char* m_recvBuffer = nullptr;
  std::atomic<ChannelState> m_state{Stopped};
  mutable std::mutex m_reverseMutex;
  std::shared_ptr<CTcpPipe> m_reverse;

  std::atomic<bool> m_stopping{false};  // the owner is stopping the thread: no reopening
  std::mutex m_stateMutex;
  std::condition_variable m_stateChanged;
  std::vector<std::unique_ptr<CallBack>> m_callBacks;  // the listening thread's (or close's once it ended)
};

}  // namespace zor
