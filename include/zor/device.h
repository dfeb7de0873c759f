// CDevice: the one byte-stream interface every medium offers.
//
// Construct a device of one class (CDevNull, CDevRS232, CDevPlayback, CDevTcp,
// ...), open it, then read and write bytes. Two worker threads per open device
// move the bytes between the medium and a receive and a transmit ring.
#pragma once

#include <zor/export.h>

#include <zor/platform.h>

#include <memory>

namespace zor {

enum zorType {
  ZOR_USB = 0,
  ZOR_NET = 1,
  ZOR_RS232 = 2,
  ZOR_NULL = 3,
  ZOR_PLAYBACK = 4,
  ZOR_TCP = 5,
  ZOR_RFC2217 = 6
};

// Log record kinds passed to a logger.
enum zorLogKind {
  LOG_TX = 0,              // bytes taken from the TX ring for one write
  LOG_RX = 1,              // one received chunk, flow bytes removed
  LOG_EVENT = 2,           // no data; size is the string id of the event message
  LOG_SERVER_SENT = 3,     // bytes a server relayed from its device to its client
  LOG_SERVER_RCV = 4,      // bytes a server received from its client for its device
  LOG_PLAYBACK_ERROR = 5,  // bytes written to a playback device that the log did not expect
};

// Logger callback: (context, kind, data, size). Called from any of the
// device's threads, possibly with a ring mutex held: it must not block on the device.
using zorLogFunc = void (*)(long context, int kind, const void* data, unsigned long size);

class CMonitorDlg;
class CDevicePrivate;

class ZOR_API CDevice {
public:
  virtual ~CDevice();
  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  virtual zorType Type() const = 0;

  // Lifecycle.
  bool CloseDevice();
  bool IsDeviceOpen() const;
  bool DeviceExist(const char* name);
  // Offered to applications that serialise multi-call exchanges; the library never locks it.
  CMutex* GetIOMutex();

  // Byte stream. Reads never wait; writes wait up to "I/O Write Timeout" for space.
  unsigned char ReadByte();
  unsigned char PollByte();
  unsigned long ReadBuffer(unsigned char* buf, unsigned long max);
  bool WriteByte(unsigned char b);
  bool WriteBuffer(const unsigned char* data, unsigned long n);
  void Flush(bool rx, bool tx);
  bool TxReady();
  void Commit();
  bool TXQueue() const;
  bool RXQueue() const;
  unsigned long GetTxBufferCount() const;
  unsigned long GetRxBufferCount() const;
  unsigned long GetMaxTransferSize() const;
  // How many times the receive ring overran since the device was constructed
  // (each is also logged as event 123, "RX buffer overrun"). An overrun
  // discards what the ring held, so a count that grew means received bytes
  // were lost. The receiver reads only what the ring has room for, so this
  // happens only with a ring too small to hold a byte.
  unsigned long GetRxOverrunCount() const;
  // How many times the transmit thread has taken bytes from the ring. A
  // writer notes it, looks at the ring, and then waits with WaitTxTaken for
  // room without polling.
  unsigned long long TxTakenCount() const;
  // Waits at most milliseconds until the count differs from seen; true when it does.
  bool WaitTxTaken(unsigned long long seen, DWORD milliseconds) const;

  // Flow control and the reception watchdog.
  void EnableXonHandshake(bool enable, unsigned char xon, unsigned char xoff);
  void EnableRX(bool enable);
  void WatchDogTime(unsigned long ms);

  // Logging and notification.
  void InstallLogger(zorLogFunc fn, long context);
  // For a server that relays this device to a client: reports what it relayed
  // (LOG_SERVER_SENT, LOG_SERVER_RCV) or an event of the relay (LOG_EVENT) to
  // this device's logger. Other kinds are the device's own and are ignored.
  void LogRelay(zorLogKind kind, const void* data, unsigned long size);
  void SetNotify(HWND wnd, UINT msg, int threshold);
  // For a server that relays this device: called on the receiving thread (the
  // RX thread, or at granularity 0 a writer or a thread waiting for
  // DataReadyEvent() that received in its place) each time received bytes
  // have reached the ring, so that they can be passed on without waking
  // another thread. The hook must not wait (it may read the
  // ring). One hook at a time; null removes it, and waits for a call under way.
  using ReceivedHook = void (*)(void* context);
  void SetReceivedHook(ReceivedHook hook, void* context);
  // Signalled when received data is waiting; null while the device is closed.
  // At granularity 0 a thread that waits for it on a medium with a
  // descriptor (a port, a pipe, a TCP call-back connection) receives the
  // bytes itself, in the RX thread's place, so that an answer wakes only the
  // thread that waits for it.
  HANDLE DataReadyEvent() const;
  void ShowMonitor();
  // The device's traffic monitor (never null after construction).
  CMonitorDlg* Monitor() const;

protected:
  CDevice();
  // Second construction phase: a subclass calls it at the end of its constructor.
  void constructor();
  // First destruction phase: a subclass calls it at the start of its destructor.
  void destroyer();

  virtual bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                          unsigned long* lastError);
  virtual bool canTransmit();
  virtual bool close_device();
  virtual SECURITY_ATTRIBUTES* security_attr();
  virtual int GetIOSize(int k) const = 0;
  // True when the error of direction k (0 RX, 1 TX) is fatal: the direction panics.
  virtual bool on_io_error(unsigned long error, int k);
  // The I/O of a channel of hooks (SetChannelOwner): nonzero with *done the
  // bytes moved, or 0 with the error left by SetLastError; handle is null, as
  // no system object stands behind the channel. Where the direction runs
  // overlapped, ovl is given and a hook may answer FALSE with
  // ERROR_IO_PENDING, then complete later: Internal takes the error (0:
  // success), InternalHigh the count, and hEvent is set. A hook must complete
  // or forget such an operation by the time close_device returns.
  virtual int hook_readFile(void* handle, void* buffer, unsigned long size, unsigned long* done,
                            OVERLAPPED* ovl);
  virtual int hook_writeFile(void* handle, const void* buffer, unsigned long size, unsigned long* done,
                             OVERLAPPED* ovl);
  virtual bool program_device(int rxSize, int txSize);

  // Reports a record to the installed logger.
  void log(int kind, const void* data, unsigned long size);
  // Tells the RX thread that its read hook may now deliver (a pseudo device
  // queued data): an idle device waits for this instead of polling.
  void WakeReceiver();
  // Tells the RX thread that the read hook will have data in ms (a playback
  // row is due then): at "Thread granularity" 0 the idle reader waits no longer.
  void ReceiveDueIn(unsigned long ms);
  // Declares that this device's read hook calls WakeReceiver or ReceiveDueIn
  // whenever it may deliver again: an idle RX thread then waits for that
  // instead of looking every "Thread granularity" slice.
  void SetWakesReceiver(bool on);
  // Declares that a read of this device's medium must ask for a whole chunk
  // of GetIOSize(0) bytes (a USB packet that arrives whole or not at all):
  // the RX thread then reads only when the receive ring has room for one.
  // Otherwise it reads as much as the ring has room for.
  void SetWholeReads(bool on);
  // Declares that this device's hooks answer every call at once, never
  // pending, also when called overlapped: at granularity 0 a writer may then
  // send through them itself, and receive the answer they hold at once.
  void SetHooksAnswerAtOnce(bool on);
  // Routes the channel's I/O to this device's hooks, whatever the names the
  // open is given (the names "NULL", "PB:" and "TCP" route there too).
  void SetChannelOwner();
  // Kept for source compatibility. No system handle stands behind a channel
  // (a device programs its medium through its own members, e.g. CDevRS232's
  // SetCommState): null while the channel is open, INVALID_HANDLE_VALUE while
  // it is closed, so that a test for an open channel keeps its meaning.
  HANDLE InputHandle() const;
  HANDLE OutputHandle() const;
  int OverlapFlags() const;

private:
  friend class CDevicePrivate;
  std::unique_ptr<CDevicePrivate> d;
};

}  // namespace zor
