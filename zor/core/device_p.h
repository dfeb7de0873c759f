// CDevicePrivate: the state and algorithms behind CDevice. Shared by the files
// of zor/core/ (lifecycle, engine, byte stream, flow control, logging) and
// visible to the devices of zor/devices/ and zor/remote/.
#pragma once

#include <zor/app.h>
#include <zor/device.h>

#include "utils/circbuff.h"
#include "zor/core/devhandle.h"
#include "zor/core/workerthread.h"
#include "zor/platform/stand_in.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

namespace zor {

class CMonitorDlg;

enum { RX = 0, TX = 1 };

struct ThreadRec {
  CWorkerThread thread;
  int bufferSize = 1024;
  std::atomic<bool> panic{false};
  // An overlapped transfer of this direction is under way (its worker waits
  // in it, bounded); the TX one holds back further writes.
  std::atomic<bool> pending{false};
  unsigned char* localBuffer = nullptr;
  int localSize = 0;  // bytes localBuffer holds
  DWORD startTick = 0;
};

// A direction's turn at the medium. Sending: the TX thread takes it for each
// chunk, a writer at granularity 0 for its write-through; whoever holds it has
// every byte queued before its own sent or in hand, so bytes and their monitor
// records leave in the order they were written. Receiving: the RX thread holds
// it from its look at the ring's room to the store, a writer whose write-through
// the medium answered at once (a loopback) for its own receive.
class Turn {
public:
  void take() {
    m_mutex.lock();
    m_owner = std::this_thread::get_id();
  }
  // Never waits; false also on the holder's own thread (a hook that writes
  // from within a write queues behind it).
  bool tryTake() {
    if (m_owner.load() == std::this_thread::get_id() || !m_mutex.try_lock()) return false;
    m_owner = std::this_thread::get_id();
    return true;
  }
  // Waits for the turn; false, without waiting, on the holder's own thread.
  bool takeUnlessHeldHere() {
    if (m_owner.load() == std::this_thread::get_id()) return false;
    take();
    return true;
  }
  void give() {
    m_owner = std::thread::id();
    m_mutex.unlock();
  }

private:
  std::mutex m_mutex;
  std::atomic<std::thread::id> m_owner{};
};

class CDevicePrivate;

// The receiver's side of a stand-in (zor/platform/stand_in.h): at granularity
// 0 an application thread that waits for the data-ready event watches the
// channel's descriptor and receives in the RX thread's place. Detached before
// its device goes; a waiter may hold it longer.
class RxStandIn : public StandIn {
public:
  explicit RxStandIn(CDevicePrivate* d) : m_d(d) {}
  int lend() override;
  bool receive() override;
  void giveBack() override { m_watch.giveBack(); }
  void detach();
  ReceiveWatch& watch() { return m_watch; }

private:
  std::mutex m_mutex;  // held over a receive, so that detach() waits for it
  CDevicePrivate* m_d;
  ReceiveWatch m_watch;
};

class CDevicePrivate {
public:
  explicit CDevicePrivate(CDevice* q);
  ~CDevicePrivate();

  // The owning device's hooks, for the channel.
  static int hookRead(CDevice* dev, HANDLE h, void* buf, unsigned long size, unsigned long* done,
                      OVERLAPPED* ovl) {
    return dev->hook_readFile(h, buf, size, done, ovl);
  }
  static int hookWrite(CDevice* dev, HANDLE h, const void* buf, unsigned long size, unsigned long* done,
                       OVERLAPPED* ovl) {
    return dev->hook_writeFile(h, buf, size, done, ovl);
  }

  static std::atomic<int>* hookDescriptorOf(CDevice* dev) {
    return dev->d ? &dev->d->m_hookDescriptor : nullptr;
  }

  // A device's channel, for the devices' access to their medium (channel.h).
  static CDevHandle* channelOf(const CDevice& dev) { return dev.d ? dev.d->m_devHndl.get() : nullptr; }

  // A ring larger than this is refused by the open: far beyond any line's
  // need, and a size near 2^31 would take the process's memory.
  static constexpr int kMaxRingSize = 256 << 20;

  // Lifecycle (device.cpp). An open that cannot allocate returns false.
  void init();
  bool openDevice(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                  unsigned long* lastError);
  bool openDeviceOrThrow(const char* inName, const char* outName, int overlapFlags, int rxSize, int txSize,
                         unsigned long* lastError);
  bool closeDevice();
  bool allocBuffers();
  void freeBuffers();
  bool openPort(unsigned long* lastError);
  // Gives each direction a transfer buffer of GetIOSize bytes, once the
  // medium is programmed (a device may learn its sizes only then).
  bool sizeLocalBuffers();
  // One transfer's size: what the device asks for, within the buffer.
  int ioSize(int k) const { return std::min(q->GetIOSize(k), m_thrds[k].localSize); }
  void destroy();

  // Engine (engine.cpp).
  void dispatchThread(int k, thread_func_flag flag);
  bool threadStart();
  void threadExit();
  int doThread(int k);
  bool startIoOperation(int k);
  // Moves n bytes to the output, within "I/O Write Timeout" (overlapped: the
  // longer of the two time-outs). Returns the count, or -1 with *error set
  // when nothing moved and the medium failed. The caller holds the send turn.
  long writeOut(Transport* out, const unsigned char* data, int n, bool overlapped, DWORD* error);
  // At granularity 0: sends a write on the caller's thread when the TX thread
  // would do nothing else with it (below). False: the caller queues it.
  bool writeThrough(const unsigned char* data, unsigned long n);
  // The TX thread's turn: one chunk from the ring to the medium.
  long sendChunk(DWORD* error);
  // What follows a transfer's result r (count, or -1 with error); true when idle.
  bool finishIo(int k, long r, DWORD error);
  bool canWrite(int k, bool* pacedOut = nullptr);
  void startOverlappedOperation(int k);
  void endOverlappedOperation(int k);
  void cancelIo(int k);
  bool overlapped(int k) const { return (m_overlapFlags.load() & (1 << k)) != 0; }
  // A direction whose transfers may be answered later than the call: overlapped
  // hooks, unless the device declared they never pend.
  bool answersLater(int k) const {
    return overlapped(k) && m_devHndl && m_devHndl->Hooked() && !m_hooksAnswerAtOnce.load();
  }
  // Received bytes at data: filtered, logged, then handed to the readers.
  // inRing: they were read into the ring's free span, else they are copied.
  void store(unsigned char* data, unsigned long n, bool inRing);
  // Waits up to one granularity slice, ending early when reception may have
  // become possible or the thread must stop: an idle device does not spin.
  // At granularity 0 the wait lasts until the channel can deliver (or a hook
  // device's next data is due), bounded by the safety slice.
  void idleWait(int k, bool watchChannel);
  void wakeReceiver() {
    ++m_rxWakes;
    if (t_receivesAfterWrite != this) SetEvent(m_hRxWake);
  }
  // On a writer's thread at granularity 0: receives what a hook medium holds
  // now, unless the RX thread is at it. True when it left nothing for the RX
  // thread to do.
  bool receiveNow();
  // With the receive turn taken, on any thread: one chunk from the medium, no
  // waiting, stored; gives the turn back. The count, -1 when nothing could be
  // read (*chunk 0: the ring is full).
  long receiveTakenTurn(int* chunk);
  // For a stand-in: the descriptor the idle RX thread would sleep on, or -1
  // where it would not (a granularity above 0, an overlapped read, a medium
  // whose read is the wait, a panic).
  int standInDescriptor();
  // On a stand-in's thread, its descriptor ready: receives one chunk as the
  // RX thread would. False when nothing was stored (the RX thread then looks).
  bool receiveStandingIn();
  // The device whose receiver this thread wakes itself after its write-through.
  static thread_local const CDevicePrivate* t_receivesAfterWrite;
  // At a granularity of 1 ms or more: an fd channel with nothing to send and
  // no flow control, whose idle receiver may wait for its input itself.
  bool quietChannel();
  // The same for a hook device: nothing to send, no flow control, no data due.
  bool quietHook();
  // Bytes the next read may take: at most a chunk and the RX ring's room; 0
  // while the room is less than the least read.
  int rxChunk() const;
  // The fewest bytes worth a read: 1, or a whole chunk for a device whose
  // medium delivers only whole chunks.
  int rxLeastRead() const;
  // The RX ring has no room for a chunk: waits (bounded) until a reader makes
  // room, a wake-up or the stop.
  void waitForRxRoom();
  // A reader took bytes from the RX ring: a receiver waiting for that much
  // room goes on.
  void noteRxTaken();
  void receiveDueIn(unsigned long ms);
  // The TX thread took bytes: space and Commit waiters look again.
  void noteTxTaken();
  // Waits until the TX thread takes bytes after `seen`, at most ms.
  void waitTxTaken(std::uint64_t seen, DWORD ms);
  std::uint64_t txTaken();
  static bool txWorkWaiting(void* self);

  // "Thread granularity" as the worker loops use it: a negative value reads as
  // the default. 0: the loops wait for their work instead of pacing.
  static DWORD granularity() {
    long g = theApp.m_threadGranularity;
    return static_cast<DWORD>(g < 0 ? kDefaultGranularity : g);
  }
  static bool wakeOnData() { return theApp.m_threadGranularity == 0; }
  static constexpr long kDefaultGranularity = 15;
  // The longest a loop waits for its work at granularity 0 before it looks
  // again by itself: a lost wake-up costs at most this much.
  static constexpr DWORD kSafetySliceMs = 250;
  // The same bound for a quiet receiver that is told when data comes: a
  // channel waiting on its own descriptor (the kernel reports its data and its
  // hang-up) or a hook device that wakes it whenever it may deliver. Writers,
  // a full ring's reader and flow control wake it too, so a look of its own
  // only costs an idle device its wake-ups.
  static constexpr DWORD kQuietSliceMs = 1000;
  // One wait towards a time-out of limit ms of which elapsed have passed: to
  // just past it, at most a safety slice (64-bit: 0xFFFFFFFF must not wrap to 0).
  static DWORD sliceUntilDue(DWORD limit, DWORD elapsed) {
    return static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t{limit} - elapsed + 1, kSafetySliceMs));
  }

  // Byte stream (bytestream.cpp).
  // Waits up to "I/O Write Timeout" until n bytes fit, then puts them, judging
  // the space and putting under the TX mutex as one step. -1: no space in time;
  // 0: the put overran; 1: queued.
  int putWhenSpace(const unsigned char* data, unsigned long n, bool logOverrun);

  // Flow control, watchdog, panic (flowcontrol.cpp).
  void enableXonHandshake(bool enable, unsigned char xon, unsigned char xoff);
  void enableRX(bool enable);
  void resetXonXoff();
  unsigned long checkXonXoff(unsigned char* data, unsigned long n);
  void checkRxBufferFull();
  void ackWaitXonXoff();
  void checkPanic();
  void autoResume();

  // Logging and notification (logging.cpp).
  void log(int kind, const void* data, unsigned long size);
  void installLogger(zorLogFunc fn, long context);
  void notify(long count);
  void received();
  void initNotifyEvents();
  void closeNotifyEvents();
  void resetDataReady();

  CDevice* const q;

  std::unique_ptr<CDevHandle> m_devHndl;
  std::atomic<int> m_overlapFlags{0};
  CircBuff<unsigned char> m_buffs[2];
  std::atomic<bool> m_xonEnabled{false};
  std::atomic<unsigned char> m_xonChar{0xA1};
  std::atomic<unsigned char> m_xoffChar{0xA0};
  std::atomic<bool> m_xonState{true};
  std::atomic<bool> m_rxEnabled{true};
  std::atomic<HANDLE> m_hXonEvent{nullptr};
  ThreadRec m_thrds[2];
  std::atomic<DWORD> m_watchDog{0xFFFFFFFF};
  std::atomic<DWORD> m_lastRxTick{0};
  std::string m_inName;
  std::string m_outName;
  std::atomic<int> m_writeCount{0};  // writes since the last paced wait
  CMutex m_ioMutex;
  std::unique_ptr<CMonitorDlg> m_pMonDlg;

  // Logger slot: a call runs under the shared lock, a replacement under the
  // exclusive one, so the pair is always consistent and an uninstalled
  // logger is never called once InstallLogger has returned.
  std::shared_mutex m_logLock;
  zorLogFunc m_logger = nullptr;
  long m_logCtx = 0;

  // The received hook's slot, kept like the logger's.
  std::shared_mutex m_receivedLock;
  CDevice::ReceivedHook m_receivedHook = nullptr;
  void* m_receivedCtx = nullptr;
  std::atomic<bool> m_hasReceivedHook{false};

  std::mutex m_notifyLock;
  HWND m_hNotifyWnd = nullptr;
  int m_notifyThreshold = 1;
  UINT m_notifyMsg = 0;
  std::atomic<HANDLE> m_hDataReady{nullptr};

  CWorkerThread m_resumer;

  // Serialises open and close between the application, a worker closing after
  // a panic and the resumer reopening.
  std::recursive_mutex m_lifecycle;
  std::atomic<bool> m_closing{false};
  // Automatic-reset event: reception may be possible again (data queued, bytes to send).
  HANDLE m_hRxWake = nullptr;
  // Tick at which a hook device's next data is due; 0: none announced.
  std::atomic<DWORD> m_rxDue{0};
  // Reads must ask for a whole chunk (SetWholeReads).
  std::atomic<bool> m_wholeReads{false};
  // The hooks never answer pending (SetHooksAnswerAtOnce).
  std::atomic<bool> m_hooksAnswerAtOnce{false};
  // Room (bytes) the receiver waits for in the RX ring; 0: it does not wait.
  std::atomic<int> m_rxRoomWanted{0};
  // Receive ring overruns since construction.
  std::atomic<unsigned long> m_rxOverruns{0};
  // The device's read hook wakes the receiver whenever it may deliver again.
  std::atomic<bool> m_wakesReceiver{false};
  // Readable whenever the read hook would deliver (setHookReadableDescriptor); -1: none.
  std::atomic<int> m_hookDescriptor{-1};

  // Counts the TX thread's takes, so that writers waiting for space and
  // Commit wake when it moves instead of sleeping for time.
  std::mutex m_txTakenLock;
  std::condition_variable m_txTakenCv;
  std::uint64_t m_txTaken = 0;

  Turn m_sendTurn;
  Turn m_receiveTurn;
  const std::shared_ptr<RxStandIn> m_standIn = std::make_shared<RxStandIn>(this);
  // Counts the receiver's wake-ups: a write-through during which it moved
  // was answered by the medium at once.
  std::atomic<std::uint32_t> m_rxWakes{0};
};

}  // namespace zor
