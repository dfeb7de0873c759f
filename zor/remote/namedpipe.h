// CNamedPipe: one end of a local pipe link, made of two byte pipes, one per
// direction ("<base>_IN" carries the client's bytes to the server, "<base>_OUT"
// the server's to the client). Nothing but payload travels.
//
// A worker thread reads the inbound pipe and hands each chunk to onRead. The
// server side gives onConnect(true) when its client is first seen and
// onConnect(false) when the link broke; a broken channel re-creates its pipes
// by itself (a server thereby waits for the next client), retrying a failed
// re-creation kReopenAttempts times, kReopenPauseMs apart.
#pragma once

#include "zor/core/workerthread.h"

#include <zor/platform.h>

#include <atomic>
#include <mutex>
#include <string>

namespace zor {

class CNamedPipe {
public:
  explicit CNamedPipe(unsigned long ioSize);
  // A subclass whose handlers use its own members calls stop() first in its destructor.
  virtual ~CNamedPipe();
  CNamedPipe(const CNamedPipe&) = delete;
  CNamedPipe& operator=(const CNamedPipe&) = delete;

  // Called on the reading thread with each chunk received (at most the I/O size).
  virtual void onRead(const void* data, unsigned long size);
  // Called on the reading thread: true when a peer is first seen, false when the pipe broke.
  virtual void onConnect(bool connected);

  // Server side: creates the two pipes of baseName on this computer.
  bool create(const char* baseName);
  // Client side: opens the two pipes of the server on host.
  bool connect(const char* host, const char* baseName);
  // Stops the reading thread (unless called on it) and closes both pipes.
  void close();
  // One synchronous write of the whole block; safe from any thread.
  bool write(const void* data, unsigned long size);
  // Sends the text and its terminating NUL.
  bool writeString(const char* text);
  bool broken() const { return m_broken.load(); }
  // Server side: the process of the connected client; 0 when none is.
  DWORD clientProcessId() const;

  static std::string pipeName(const char* host, const char* base, const char* suffix);
  static std::string inPipeName(const char* host, const char* base) { return pipeName(host, base, "IN"); }
  static std::string outPipeName(const char* host, const char* base) { return pipeName(host, base, "OUT"); }
  // Domain users' descriptor, else initNetworkSecurity's.
  static bool initSecurity(SECURITY_ATTRIBUTES* sa);
  static bool initNetworkSecurity(SECURITY_ATTRIBUTES* sa);
  static void freeSecurity(SECURITY_ATTRIBUTES* sa);

  static constexpr int kReopenAttempts = 60;
  static constexpr DWORD kReopenPauseMs = 1000;
  // A read waits this long for data before it is issued afresh.
  static constexpr DWORD kReadWaitMs = 2000;

protected:
  // Ends the reading thread; no handler is called after it returns.
  void stop();

private:
  bool openHandles();   // under m_openMutex
  void closeHandles();  // under m_openMutex
  bool start();
  void run();
  void readLoop();
  bool completionWait(HANDLE h, unsigned char* buffer);
  bool waitForClient(HANDLE h);
  void cancelRead(HANDLE h, unsigned char* buffer);
  bool reopen();
  bool pause();

  std::atomic<HANDLE> m_write{INVALID_HANDLE_VALUE};
  std::atomic<HANDLE> m_read{INVALID_HANDLE_VALUE};
  CWorkerThread m_thread;
  const unsigned long m_ioSize;
  // Written by the opening steps while no reading loop runs, then used by it alone.
  OVERLAPPED m_readOvl{};
  OVERLAPPED m_connectOvl{};
  std::atomic<bool> m_broken{false};
  std::string m_host;
  std::string m_base;
  bool m_server = false;  // by the call that opened it, not by the host: a client may name "."

  SECURITY_ATTRIBUTES m_sa{0, nullptr, FALSE};
  // Serialises the opening and closing steps of the owner and of the reading thread.
  std::mutex m_openMutex;
  std::atomic<bool> m_stopping{false};
};

}  // namespace zor
