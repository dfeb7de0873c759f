// The worker threads and the I/O engine: one loop per direction, synchronous
// or overlapped, moving chunks of GetIOSize bytes between channel and ring.
#include "zor/core/device_p.h"
#include "zor/monitor/monitordlg.h"

namespace zor {

void CDevicePrivate::THREAD_FUNC_NAME_READ(long param, thread_func_flag flag) {
  reinterpret_cast<CDevicePrivate*>(param)->dispatchThread(RX, flag);
}

void CDevicePrivate::THREAD_FUNC_NAME_WRITE(long param, thread_func_flag flag) {
  reinterpret_cast<CDevicePrivate*>(param)->dispatchThread(TX, flag);
}

void CDevicePrivate::dispatchThread(int k, thread_func_flag flag) {
  if (flag == CWorkerThread::TFF_RUN)
    doThread(k);
  else if (flag == CWorkerThread::TFF_EXIT)
    checkPanic();
}

bool CDevicePrivate::threadStart() {
  static constexpr zorThreadFunc funcs[2] = {&THREAD_FUNC_NAME_READ, &THREAD_FUNC_NAME_WRITE};
  bool ok = true;
  for (int k = 0; k < 2; ++k) {
    ThreadRec& t = m_thrds[k];
    // The event of an earlier open is released when it is replaced.
    if (t.ovl.hEvent != nullptr) CloseHandle(t.ovl.hEvent);
    t.ovl = OVERLAPPED{};
    if (m_overlapFlags & (1 << k)) t.ovl.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!t.thread.Start(funcs[k], reinterpret_cast<long>(this))) ok = false;
  }
  return ok;
}

void CDevicePrivate::threadExit() {
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
      bool canWriteNow = canWrite(k);
      bool go = (k == RX) ? !t.pending : canWriteNow;
      if (k == TX && !go && !t.pending) {
        if (m_pMonDlg) m_pMonDlg->SetTxThreadIndicator(0, false);
        t.thread.Suspend();
        if (m_pMonDlg) m_pMonDlg->SetTxThreadIndicator(0, true);
        running = !t.thread.ExitRequested();
        continue;
      }
      if (k == RX && canWriteNow) m_thrds[TX].thread.Resume();
      if (go) idle = startIoOperation(k);
      if (t.pending) {
        bool r = getProcessResults(k);
        if (k == RX && r) ackWaitXonXoff();
      }
    }
    running = !t.thread.ExitRequested();
    if (running && idle && theApp.m_panicResume) running = !t.panic;
    if (running && t.panic && !theApp.m_panicResume) {
      // A direction in panic does no more transfers; wait for the close without spinning.
      WaitForSingleObject(t.thread.ExitEvent(), static_cast<DWORD>(theApp.m_threadGranularity));
    }
  }
  if (t.pending) endOverlappedOperation(k);
  return 0;
}

bool CDevicePrivate::startIoOperation(int k) {
  ThreadRec& t = m_thrds[k];
  OVERLAPPED* ovl = t.ovl.hEvent != nullptr ? &t.ovl : nullptr;
  t.transferred = 0;
  BOOL ok;
  // A hook that fails without saying why must not pass on a stale error.
  if (k == RX) {
    SetLastError(ERROR_SUCCESS);
    ok = m_devHndl->Read(t.localBuffer, static_cast<DWORD>(q->GetIOSize(RX)), &t.transferred, ovl);
    DWORD error = GetLastError();
    ackWaitXonXoff();
    if (ok && t.transferred > 0) {
      CSingleLock lock(m_buffs[RX].mutex(), true);
      store(t.localBuffer, t.transferred);
    }
    SetLastError(error);
  } else {
    int n;
    {
      CSingleLock lock(m_buffs[TX].mutex(), true);
      n = m_buffs[TX].get(t.localBuffer, q->GetIOSize(TX));
    }
    log(LOG_TX, t.localBuffer, static_cast<unsigned long>(n));
    if (HANDLE xon = m_hXonEvent.load()) ResetEvent(xon);
    SetLastError(ERROR_SUCCESS);
    ok = m_devHndl->Write(t.localBuffer, static_cast<DWORD>(n), &t.transferred, ovl);
  }

  if (ok) {
    bool idle = t.transferred == 0;
    WaitForSingleObject(t.thread.ExitEvent(), static_cast<DWORD>(theApp.m_threadGranularity));
    return idle;
  }
  DWORD e = GetLastError();
  if (ovl != nullptr && e == ERROR_IO_PENDING) {
    startOverlappedOperation(k);
  } else {
    t.panic = q->on_io_error(e, k);
    if (!t.panic) idleWait(k);
  }
  return false;
}

void CDevicePrivate::idleWait(int k) {
  HANDLE wake[2] = {m_thrds[k].thread.ExitEvent(), m_hRxWake};
  WaitForMultipleObjects(k == RX ? 2 : 1, wake, FALSE, static_cast<DWORD>(theApp.m_threadGranularity));
}

bool CDevicePrivate::getProcessResults(int k) {
  ThreadRec& t = m_thrds[k];
  HANDLE handles[2] = {t.ovl.hEvent, t.thread.ExitEvent()};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(theApp.m_threadGranularity));
  if (r == WAIT_OBJECT_0) {
    getOverlappedResults(k);
    return true;
  }
  if (r == WAIT_OBJECT_0 + 1) {
    cancelIo(k);
    return false;
  }
  if (r == WAIT_TIMEOUT) {
    DWORD age = GetTickCount() - t.startTick;
    if (k == RX) {
      if (age > static_cast<DWORD>(theApp.m_ioTimeout)) cancelIo(RX);
    } else if (age > static_cast<DWORD>(theApp.m_ioTimeout) &&
               age > static_cast<DWORD>(theApp.m_ioWriteTimeout)) {
      cancelIo(TX);
    }
  }
  return true;
}

void CDevicePrivate::getOverlappedResults(int k) {
  ThreadRec& t = m_thrds[k];
  DWORD n = 0;
  if (m_devHndl->OverlappedResult(k == RX, &t.ovl, &n, FALSE)) {
    t.transferred += n;
    if (k == RX) {
      CSingleLock lock(m_buffs[RX].mutex(), true);
      store(t.localBuffer, t.transferred);
    }
    endOverlappedOperation(k);
    return;
  }
  DWORD error = GetLastError();
  switch (error) {
    case ERROR_GEN_FAILURE:
      endOverlappedOperation(k);
      t.panic = true;
      break;
    case ERROR_OPERATION_ABORTED:
      endOverlappedOperation(k);
      break;
    case ERROR_IO_INCOMPLETE:
      break;
    default:
      t.panic = q->on_io_error(error, k);
      break;
  }
}

void CDevicePrivate::startOverlappedOperation(int k) {
  m_thrds[k].startTick = GetTickCount();
  m_thrds[k].pending = true;
}

void CDevicePrivate::endOverlappedOperation(int k) {
  ThreadRec& t = m_thrds[k];
  t.cancelling = false;
  t.pending = false;
  if (t.ovl.hEvent != nullptr) ResetEvent(t.ovl.hEvent);
}

void CDevicePrivate::cancelIo(int k) {
  ThreadRec& t = m_thrds[k];
  if (t.cancelling.exchange(true)) return;
  if (m_devHndl) m_devHndl->Cancel(k == RX);
}

bool CDevicePrivate::canWrite(int k) {
  if (m_thrds[TX].pending || !m_buffs[TX].notEmpty() || !q->canTransmit()) return false;
  HANDLE xon = m_hXonEvent.load();
  if (xon != nullptr && k == TX) {
    if (++m_writeCount >= theApp.m_writesBeforeXoff) {
      HANDLE handles[2] = {xon, m_thrds[TX].thread.ExitEvent()};
      bool acknowledged =
          WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(theApp.m_ioTimeout)) == WAIT_OBJECT_0;
      m_writeCount = 0;
      return acknowledged;
    }
  }
  return true;
}

void CDevicePrivate::store(unsigned char* data, unsigned long n) {
  n = checkXonXoff(data, n);
  if (n > 0) {
    log(LOG_RX, data, n);
    DWORD now = GetTickCount();
    DWORD last = m_lastRxTick;
    DWORD watchDog = m_watchDog;
    if (watchDog != 0xFFFFFFFF && last != 0 && now - last > watchDog) m_thrds[RX].panic = true;
    m_lastRxTick = now;
    m_buffs[RX].put(data, static_cast<int>(n));
    if (m_buffs[RX].takeOverrun()) log(LOG_EVENT, nullptr, 123);
    notify(m_buffs[RX].count());
  }
  checkRxBufferFull();
}

}  // namespace zor
