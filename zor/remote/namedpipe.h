// CNamedPipe: one end of a local pipe link, made of two byte pipes, one per
// direction ("<base>_IN" carries the client's bytes to the server, "<base>_OUT"
// the server's to the client). Nothing but payload travels.
//
// A worker thread reads the inbound pipe and hands each chunk to onRead. The
// server side serves a client once it holds both pipes: it gives
// onConnect(true) then, and onConnect(false) when either pipe of that client
// ends; a client that holds one pipe only, for kHalfOpenMs or until it closes
// it, is dropped with onHalfOpenDropped, so that no process can keep the pipes
// from the next client. Either way the server re-creates both pipes by itself
// and waits for the next client; a client side that broke reopens. A failed
// re-creation is retried kReopenAttempts times, kReopenPauseMs apart. Who may
// connect is decided by the pipe folder's and the sockets' modes.
#pragma once

#include "zor/core/workerthread.h"

#include <zor/platform.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

class PipeListener;
class PipeTransport;

class CNamedPipe {
public:
  explicit CNamedPipe(unsigned long ioSize);
  // A subclass whose handlers use its own members calls stop() first in its destructor.
  virtual ~CNamedPipe();
  CNamedPipe(const CNamedPipe&) = delete;
  CNamedPipe& operator=(const CNamedPipe&) = delete;

  // Called on the reading thread with each chunk received (at most the I/O size).
  virtual void onRead(const void* data, unsigned long size);
  // Called on the reading thread: true when a peer is first seen (a server's
  // client: on both pipes), false when the pipe broke (a server: once its
  // pipes are made again for the next client).
  virtual void onConnect(bool connected);
  // Server side, on the reading thread: a client that held one pipe only
  // (processId, 0 when unknown) was dropped.
  virtual void onHalfOpenDropped(DWORD processId);

  // Server side: creates the two pipes of baseName on this computer.
  bool create(const char* baseName);
  // Client side: opens the two pipes of the server on host.
  bool connect(const char* host, const char* baseName);
  // Stops the reading thread (unless called on it) and closes both pipes.
  void close();
  // One synchronous write of the whole block; safe from any thread. A server
  // writes only to a client that holds both pipes.
  bool write(const void* data, unsigned long size);
  // What the pipe takes at once, never waiting (also not for another writer):
  // the count, or -1 where write would fail.
  long writeNow(const void* data, unsigned long size);
  // Sends the text and its terminating NUL.
  bool writeString(const char* text);
  bool broken() const { return m_broken.load(); }
  // Server side: the process of the client on either pipe; 0 when none is.
  DWORD clientProcessId() const;

  static std::string pipeName(const char* host, const char* base, const char* suffix);
  static std::string inPipeName(const char* host, const char* base) { return pipeName(host, base, "IN"); }
  static std::string outPipeName(const char* host, const char* base) { return pipeName(host, base, "OUT"); }

  static constexpr int kReopenAttempts = 60;
  static constexpr DWORD kReopenPauseMs = 1000;
  // A read waits this long for data before it is issued afresh.
  static constexpr DWORD kReadWaitMs = 2000;
  // How long a server waits for a client's second pipe. A client opens both
  // one after the other, so this is only ever reached by one that never will.
  static constexpr DWORD kHalfOpenMs = 2000;
  // How long a write waits for a peer that does not read before it fails.
  static constexpr DWORD kWriteWaitMs = 10000;

protected:
  // Ends the reading thread; no handler is called after it returns.
  void stop();

private:
  bool openHandles();   // under m_openMutex
  void closeHandles();  // under m_openMutex
  bool start();
  void run();
  void readLoop();
  enum class ServerEnd { Stopped, Left, Dropped, Failed };
  ServerEnd serveLoop(DWORD& pid);
  std::shared_ptr<PipeTransport> reader() const;
  bool stopRequested() const;
  bool reopen();
  bool pause();
  static bool fail(DWORD error);

  // The ends in use, under m_ioMutex: the owner's write and stop reach them
  // while the reading thread re-creates them.
  mutable std::mutex m_ioMutex;
  std::shared_ptr<PipeTransport> m_read;
  std::shared_ptr<PipeTransport> m_write;
  // A server's two instances, used by the reading thread alone while it runs.
  std::unique_ptr<PipeListener> m_inListener;
  std::unique_ptr<PipeListener> m_outListener;
  HANDLE m_inEvent = nullptr;   // a client waits on the inbound pipe
  HANDLE m_outEvent = nullptr;  // the same on the outbound pipe, then its client has left (or wrote)
  std::mutex m_writeMutex;      // one write at a time, whole
  CWorkerThread m_thread;
  const unsigned long m_ioSize;
  std::atomic<bool> m_broken{false};
  std::atomic<bool> m_linked{false};  // a server's client holds both pipes
  std::string m_host;
  std::string m_base;
  bool m_server = false;  // by the call that opened it, not by the host: a client may name "."

  // Serialises the opening and closing steps of the owner and of the reading thread.
  std::mutex m_openMutex;
  std::atomic<bool> m_stopping{false};
};

}  // namespace zor
