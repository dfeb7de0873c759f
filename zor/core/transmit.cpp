// The sending side: the TX thread's chunk, the write to the medium, and the
// write-through of granularity 0, where a writer that finds the TX thread with
// nothing to do sends its bytes itself instead of waking that thread for them.
//
// Both senders hold the send turn from the look at the ring to the end of
// their write. A writer passes its bytes through only when, holding it, it
// finds the TX ring empty, the TX thread parked, no transfer under way and
// the line free to send: then every byte written before is already with the
// medium, and its own follow in order. Otherwise it queues, as at every other
// granularity, and the TX thread sends after whoever holds the turn.
#include "zor/core/device_p.h"
#include "zor/monitor/monitordlg.h"
#include "zor/platform/platform.h"

#include <algorithm>

namespace zor {

long CDevicePrivate::sendChunk(DWORD* error) {
  ThreadRec& t = m_thrds[TX];
  int n;
  {
    CSingleLock lock(m_buffs[TX].mutex(), true);
    n = m_buffs[TX].get(t.localBuffer, ioSize(TX));
  }
  if (n > 0) noteTxTaken();
  log(LOG_TX, t.localBuffer, static_cast<unsigned long>(n));
  if (HANDLE xon = m_hXonEvent.load()) ResetEvent(xon);
  // Bytes taken from the ring are never put back, whatever the write's outcome.
  return n > 0 ? writeOut(m_devHndl->Output(), t.localBuffer, n, overlapped(TX), error) : 0;
}

long CDevicePrivate::writeOut(Transport* out, const unsigned char* data, int n, bool ovl, DWORD* error) {
  DWORD bound = static_cast<DWORD>(theApp.m_ioWriteTimeout);
  if (ovl) {
    bound = std::max(bound, static_cast<DWORD>(theApp.m_ioTimeout));
    startOverlappedOperation(TX);
  }
  const DWORD start = GetTickCount();
  long moved = 0;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left = elapsed < bound ? bound - elapsed : 0;
    long r = out->write(data + moved, static_cast<unsigned long>(n - moved), left, error);
    // Only progress goes on: nothing placed within the bound, or a failure, ends the transfer.
    if (r <= 0) {
      if (moved == 0) moved = r;
      break;
    }
    moved += r;
    if (moved >= n || left == 0) break;
  }
  if (ovl) endOverlappedOperation(TX);
  return moved;
}

bool CDevicePrivate::writeThrough(const unsigned char* data, unsigned long n) {
  ThreadRec& t = m_thrds[TX];
  if (!wakeOnData() || t.panic || m_buffs[TX].notEmpty()) return false;
  if (!m_sendTurn.tryTake()) return false;
  // Asked before the channel is held: a device's own look at its line (the
  // serial device's CTS, the peer's XOFF) holds the channel itself.
  const bool lineFree = q->canTransmit();
  // XON/XOFF pacing lets "Writes before XOFF" writes go before one waits for
  // a read: the writer sends only those that need no wait, and leaves the
  // one that waits to the TX thread.
  HANDLE xon = m_hXonEvent.load();
  const bool paceFree = xon == nullptr || m_writeCount.load() + 1 < theApp.m_writesBeforeXoff;
  bool sent = false;
  long r = 0;
  DWORD error = ERROR_SUCCESS;
  {
    // Held for the write: a close waits for it (and cancels it) before the
    // transport goes.
    ChannelTransport out = m_devHndl->Use(false);
    // The parked TX thread is looked at first: its start follows the sizing
    // of the transfer buffers that ioSize reads. A hook that may answer later
    // than the call: the writer would wait for what the TX thread waits for
    // on its behalf.
    if (out.get() != nullptr && t.thread.IsSuspended() && !t.panic && !t.pending && !m_buffs[TX].notEmpty() &&
        !answersLater(TX) && n <= static_cast<unsigned long>(ioSize(TX)) && lineFree && paceFree) {
      if (xon != nullptr) {
        ++m_writeCount;
        ResetEvent(xon);
      }
      log(LOG_TX, data, n);
      r = writeOut(out.get(), data, static_cast<int>(n), overlapped(TX), &error);
      sent = true;
    }
  }
  m_sendTurn.give();
  // A failure is judged as the TX thread judges its own. Out of the turn: a
  // device's judgement may close it, which waits for the TX thread.
  const bool failed = sent && r < 0 && error != ERROR_OPERATION_ABORTED;
  if (failed && q->on_io_error(error, TX)) t.panic = true;
  // The TX thread ends a device in panic; bytes queued meanwhile (the TX
  // thread parked while this write was under way) are its to send.
  if ((failed && t.panic) || m_buffs[TX].notEmpty()) t.thread.Resume();
  return sent;
}

}  // namespace zor
