// The worker threads and the I/O engine: one loop per direction, moving chunks
// of GetIOSize bytes between the channel's transport and the rings. The
// receiver reads only what the RX ring has room for: a medium that holds its
// data (a queue, a script, a pipe, a socket, a tty's kernel buffer) keeps it
// until the application has read, instead of the ring overrunning.
//
// A synchronous direction takes what the medium has now (read with no wait)
// and then waits idle as below. An overlapped direction issues its transfer
// on its worker thread with a bound: a read waits up to "I/O Timeout" for
// data and is then issued again; a write waits up to the longer of the two
// time-outs, and what it could not place by then is given up. The close
// cancels a transfer under way.
//
// At a "Thread granularity" of 1 ms or more the loops pace themselves by that
// slice. At 0 nothing waits for time: the RX thread waits until the channel
// can deliver (it waits on the transport's descriptor itself, or a hook device
// wakes it or names when its next data is due), and writers resume the TX
// thread themselves. Every such wait is bounded by the safety slice.
#include "zor/core/device_p.h"
#include "zor/monitor/monitordlg.h"
#include "zor/platform/platform.h"

#include <zor/strings.h>

#include <algorithm>

namespace zor {

void CDevicePrivate::dispatchThread(int k, thread_func_flag flag) {
  if (flag == CWorkerThread::TFF_RUN)
    doThread(k);
  else if (flag == CWorkerThread::TFF_EXIT)
    checkPanic();
}

bool CDevicePrivate::threadStart() {
  m_standIn->watch().forget();  // a new channel and a new RX thread
  bool ok = true;
  for (int k = 0; k < 2; ++k)
    if (!m_thrds[k].thread.Start([this, k](thread_func_flag flag) { dispatchThread(k, flag); })) ok = false;
  return ok;
}

void CDevicePrivate::threadExit() {
  // Asked to end first, then cancelled: a transfer the cancel ends is not
  // followed by another one that would wait out its bound.
  for (int k = 0; k < 2; ++k) {
    m_thrds[k].thread.RequestStop();
    cancelIo(k);
  }
  m_thrds[RX].thread.Stop(static_cast<unsigned long>(theApp.m_ioTimeout));
  m_thrds[TX].thread.Stop(static_cast<unsigned long>(theApp.m_ioWriteTimeout));
}

int CDevicePrivate::doThread(int k) {
  ThreadRec& t = m_thrds[k];
  bool running = true;
  while (running) {
    bool idle = false;
    if (t.panic) {
      idle = true;
    } else {
      bool pacedOut = false;
      bool canWriteNow = canWrite(k, &pacedOut);
      if (k == TX && !canWriteNow) {
        if (m_pMonDlg) m_pMonDlg->SetTxThreadIndicator(0, false);
        // A park after a pacing wait that ran out is meant to last until the
        // RX loop ends it; any other park ends as soon as there is work.
        if (pacedOut)
          t.thread.Suspend();
        else
          t.thread.Suspend(&txWorkWaiting, this);
        if (m_pMonDlg) m_pMonDlg->SetTxThreadIndicator(0, true);
        running = !t.thread.ExitRequested();
        continue;
      }
      if (k == RX && canWriteNow) m_thrds[TX].thread.Resume();
      idle = startIoOperation(k);
    }
    running = !t.thread.ExitRequested();
    if (running && idle && theApp.m_panicResume) running = !t.panic;
    if (running && t.panic && !theApp.m_panicResume) {
      // A direction in panic does no more transfers; wait for the close without spinning.
      WaitForSingleObject(t.thread.ExitEvent(), wakeOnData() ? kSafetySliceMs : granularity());
    }
  }
  return 0;
}

bool CDevicePrivate::startIoOperation(int k) {
  ThreadRec& t = m_thrds[k];
  const bool ovl = overlapped(k);
  DWORD error = ERROR_SUCCESS;
  long r;
  if (k == RX) {
    // Bytes the ring has no room for stay with the medium.
    m_receiveTurn.take();
    const int chunk = rxChunk();
    if (chunk == 0) {
      m_receiveTurn.give();
      waitForRxRoom();
      return false;
    }
    // A read that waits for data (overlapped, or a medium whose read is the
    // wait) waits up to "I/O Timeout" and is then issued again. At a
    // granularity of 1 ms or more it is issued again every slice instead: the
    // loop's other duties (resuming the TX thread, pacing) keep their pace,
    // and nothing is lost between two reads.
    Transport* in = m_devHndl->Input();
    const bool bounded = ovl || in->readIsTheWait();
    DWORD bound = 0;
    if (bounded) {
      bound = static_cast<DWORD>(theApp.m_ioTimeout);
      if (!wakeOnData()) bound = std::min(bound, granularity());
    }
    // A medium with a descriptor reads straight into the ring's room: the RX
    // thread is the ring's one writer, so that room is its own until the
    // commit. Hooks (their queues copy anyway) and a medium whose read is the
    // wait (a read that may complete after its bound) use the transfer buffer.
    unsigned char* into = t.localBuffer;
    int want = chunk;
    bool inRing = false;
    if (!m_devHndl->Hooked() && !in->readIsTheWait() && in->readableDescriptor() >= 0) {
      unsigned char* span = nullptr;
      const int room = m_buffs[RX].freeSpan(&span);
      if (room >= rxLeastRead()) {
        into = span;
        want = std::min(chunk, room);
        inRing = true;
      }
    }
    if (ovl) startOverlappedOperation(RX);
    const DWORD start = GetTickCount();
    r = in->read(into, static_cast<unsigned long>(want), bound, &error);
    if (ovl) endOverlappedOperation(RX);
    if (r > 0) store(into, static_cast<unsigned long>(r), inRing);
    m_receiveTurn.give();
    ackWaitXonXoff();
    // A read that waited out its bound was the pass's wait already; one that
    // came back at once (a hook with nothing queued) still gets its idle wait.
    // A quiet channel then waits for its input rather than read again at once.
    if (bounded && r == 0 && bound > 0 && GetTickCount() - start >= bound) {
      if (quietChannel()) idleWait(RX, true);
      return true;
    }
    return finishIo(RX, r, error);
  }
  // The turn is kept until the outcome is judged, so that no write-through
  // follows a failed chunk before its panic is known.
  m_sendTurn.take();
  r = sendChunk(&error);
  const bool idle = finishIo(TX, r, error);
  m_sendTurn.give();
  return idle;
}

bool CDevicePrivate::finishIo(int k, long r, DWORD error) {
  ThreadRec& t = m_thrds[k];
  if (r >= 0) {
    bool idle = r == 0;
    if (k == RX && idle)
      idleWait(RX, true);
    else if (!wakeOnData())
      WaitForSingleObject(t.thread.ExitEvent(), granularity());
    return idle;
  }
  // The device's own cancel (a close) is no failure of the medium.
  if (error == ERROR_OPERATION_ABORTED) return false;
  t.panic = q->on_io_error(error, k);
  if (!t.panic) idleWait(k, false);
  return false;
}

void CDevicePrivate::idleWait(int k, bool watchChannel) {
  HANDLE exitEvent = m_thrds[k].thread.ExitEvent();
  HANDLE wake[2] = {exitEvent, m_hRxWake};
  if (k == TX) {
    WaitForSingleObject(exitEvent, wakeOnData() ? kSafetySliceMs : granularity());
    return;
  }
  DWORD due = m_rxDue.exchange(0);
  if (wakeOnData()) {
    DWORD ms = kSafetySliceMs;
    if (due != 0) {
      auto left = static_cast<std::int32_t>(due - GetTickCount());
      ms = left <= 0 ? 0 : std::min(ms, static_cast<DWORD>(left));
    }
    // The channel's input only after a read that found nothing: a failing
    // channel stays "readable" and would be retried without pause. Hooks and
    // inputs that never wait have no descriptor.
    const int input = watchChannel ? m_devHndl->Input()->readableDescriptor() : -1;
    // A hook that wakes its receiver whenever it may deliver is as good as a descriptor.
    const bool toldWhenReady = input >= 0 ? quietChannel() : m_wakesReceiver.load() && quietHook();
    if (due == 0 && toldWhenReady) ms = kQuietSliceMs;
    // On its watch, whose descriptor a stand-in may hold meanwhile.
    if (input < 0 || WaitForMultipleObjectsOrWatched(2, wake, m_standIn->watch(), input, ms) == WAIT_FAILED)
      WaitForMultipleObjects(2, wake, FALSE, ms);
    return;
  }

  // Paced. A hook device that wakes its receiver whenever it may deliver
  // gets no idle passes that could only find nothing: its pause already ends
  // at each wake-up, so sleeping until one changes nothing seen from outside.
  // A channel keeps its passes (they set the pace at which received bytes are
  // taken up), and so does flow control (the TX thread's pacing waits on them).
  DWORD g = granularity();
  if (watchChannel) {
    // With nothing to send and no flow control to keep up, an idle channel's
    // passes could only find nothing: it waits for its input or a writer's
    // wake-up instead (bounded by the safety slice), and bytes that arrive are
    // taken up at once; transfers after that keep the pace.
    const int input = quietChannel() ? m_devHndl->Input()->readableDescriptor() : -1;
    if (input >= 0 && WaitForMultipleObjectsOrReadable(2, wake, input, kQuietSliceMs) != WAIT_FAILED) return;
    WaitForSingleObject(exitEvent, g);  // the pause after an empty read ignores wake-ups
    return;
  }
  bool quiet = due == 0 && !m_xonEnabled && m_wakesReceiver;
  WaitForMultipleObjects(2, wake, FALSE, quiet ? kSafetySliceMs : g);
}

bool CDevicePrivate::quietHook() { return !m_xonEnabled && !m_buffs[TX].notEmpty() && m_rxDue.load() == 0; }

bool CDevicePrivate::quietChannel() {
  if (m_xonEnabled || m_buffs[TX].notEmpty() || m_rxDue.load() != 0 || m_devHndl->Hooked()) return false;
  // A medium whose read is the wait is always "readable".
  return !m_devHndl->Input()->readIsTheWait();
}

int CDevicePrivate::rxLeastRead() const {
  const int chunk = ioSize(RX);
  // A chunk larger than the ring can hold (C - 1 bytes) is cut to it, so that
  // a small ring still receives.
  return m_wholeReads ? std::min(chunk, m_buffs[RX].capacity() - 1) : 1;
}

int CDevicePrivate::rxChunk() const {
  const int chunk = ioSize(RX);
  const auto& rx = m_buffs[RX];
  // A ring that cannot hold a byte loses every one (and says so); holding
  // them back in the medium would only stop it for good.
  if (rx.capacity() < 2) return chunk;
  // The RX thread is the ring's one writer: the room found now only grows
  // until the read (or an overlapped read's completion) is stored.
  const int room = rx.freeSpace() - 1;
  return room >= rxLeastRead() ? std::min(chunk, room) : 0;
}

void CDevicePrivate::waitForRxRoom() {
  // Announced before the second look: a reader that makes room after the
  // look sees the announcement and wakes this thread.
  m_rxRoomWanted = std::max(rxLeastRead(), 1);
  if (rxChunk() == 0) {
    HANDLE wake[2] = {m_thrds[RX].thread.ExitEvent(), m_hRxWake};
    // Other wake-ups (bytes to send at a granularity above 0, a hook's data)
    // end it too: the loop's other duties go on while the ring is full.
    WaitForMultipleObjects(2, wake, FALSE, wakeOnData() ? kSafetySliceMs : granularity());
  }
  m_rxRoomWanted = 0;
}

void CDevicePrivate::noteRxTaken() {
  const int want = m_rxRoomWanted.load();
  if (want > 0 && m_buffs[RX].freeSpace() - 1 >= want && m_rxRoomWanted.exchange(0) > 0) wakeReceiver();
}

bool CDevicePrivate::receiveNow() {
  ThreadRec& t = m_thrds[RX];
  // Hooks that may answer later answer on their own time; a failure, a full
  // ring and whatever a chunk leaves stay the RX thread's.
  if (!m_devHndl || !m_devHndl->Hooked() || answersLater(RX) || t.panic || !m_receiveTurn.tryTake())
    return false;
  int chunk = 0;
  const long r = receiveTakenTurn(&chunk);
  return r >= 0 && r < chunk;
}

long CDevicePrivate::receiveTakenTurn(int* chunk) {
  ThreadRec& t = m_thrds[RX];
  long r = -1;
  {
    // Held to the store: a close waits for it before the ring goes.
    ChannelTransport in = m_devHndl->Use(true);
    *chunk = in.get() != nullptr && t.localBuffer != nullptr ? rxChunk() : 0;
    DWORD error = ERROR_SUCCESS;
    if (*chunk > 0) r = in.get()->read(t.localBuffer, static_cast<unsigned long>(*chunk), 0, &error);
    if (r > 0) store(t.localBuffer, static_cast<unsigned long>(r), false);
  }
  m_receiveTurn.give();
  if (r >= 0) ackWaitXonXoff();
  return r;
}

void CDevicePrivate::receiveDueIn(unsigned long ms) {
  DWORD due = GetTickCount() + static_cast<DWORD>(std::min<unsigned long>(ms, kSafetySliceMs));
  m_rxDue = due != 0 ? due : 1;
}

void CDevicePrivate::startOverlappedOperation(int k) {
  m_thrds[k].startTick = GetTickCount();
  m_thrds[k].pending = true;
}

void CDevicePrivate::endOverlappedOperation(int k) { m_thrds[k].pending = false; }

void CDevicePrivate::cancelIo(int k) {
  if (m_devHndl) m_devHndl->Cancel(k == RX);
}

bool CDevicePrivate::canWrite(int k, bool* pacedOut) {
  if (m_thrds[TX].pending || !m_buffs[TX].notEmpty() || !q->canTransmit()) return false;
  HANDLE xon = m_hXonEvent.load();
  if (xon != nullptr && k == TX) {
    if (++m_writeCount >= theApp.m_writesBeforeXoff) {
      // A receiver that waits for data would not read again by itself.
      if (wakeOnData()) wakeReceiver();
      HANDLE handles[2] = {xon, m_thrds[TX].thread.ExitEvent()};
      bool acknowledged =
          WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(theApp.m_ioTimeout)) == WAIT_OBJECT_0;
      m_writeCount = 0;
      if (!acknowledged && pacedOut != nullptr) *pacedOut = true;
      return acknowledged;
    }
  }
  return true;
}

bool CDevicePrivate::txWorkWaiting(void* self) {
  auto* d = static_cast<CDevicePrivate*>(self);
  return !d->m_thrds[TX].pending && d->m_buffs[TX].notEmpty() && d->q->canTransmit();
}

void CDevicePrivate::noteTxTaken() {
  {
    std::lock_guard lock(m_txTakenLock);
    ++m_txTaken;
  }
  m_txTakenCv.notify_all();
}

std::uint64_t CDevicePrivate::txTaken() {
  std::lock_guard lock(m_txTakenLock);
  return m_txTaken;
}

void CDevicePrivate::waitTxTaken(std::uint64_t seen, DWORD ms) {
  std::unique_lock lock(m_txTakenLock);
  m_txTakenCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_txTaken != seen; });
}

void CDevicePrivate::store(unsigned char* data, unsigned long n, bool inRing) {
  n = checkXonXoff(data, n);
  if (n > 0) {
    DWORD now = GetTickCount();
    DWORD last = m_lastRxTick;
    DWORD watchDog = m_watchDog;
    if (watchDog != 0xFFFFFFFF && last != 0 && now - last > watchDog) m_thrds[RX].panic = true;
    m_lastRxTick = now;
    // The record is written before the bytes are handed over, outside the
    // ring's mutex: a reader never waits for the monitor, and the record of
    // what was received still comes before anything an application answers.
    log(LOG_RX, data, n);
    bool overran;
    {
      auto& rx = m_buffs[RX];
      CSingleLock lock(rx.mutex(), true);
      if (inRing)
        rx.commit(data, static_cast<int>(n));
      else
        rx.put(data, static_cast<int>(n));
      overran = rx.takeOverrun();
      notify(rx.count());
    }
    if (overran) {
      ++m_rxOverruns;
      log(LOG_EVENT, nullptr, IDS_RX_OVERRUN);
    }
  }
  checkRxBufferFull();
  if (n > 0) received();
}

}  // namespace zor
