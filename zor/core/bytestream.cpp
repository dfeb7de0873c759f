// The byte-stream calls of applications: they meet the worker threads only
// through the rings, their mutexes and the events.
#include "zor/core/device_p.h"

#include <zor/strings.h>

#include <algorithm>

namespace zor {

unsigned char CDevice::ReadByte() {
  auto& rx = d->m_buffs[RX];
  if (!rx.notEmpty()) return 0;
  unsigned char b;
  {
    CSingleLock lock(rx.mutex(), true);
    b = rx.notEmpty() ? rx.getByte() : 0;
    if (!rx.notEmpty()) d->resetDataReady();
  }
  d->noteRxTaken();
  d->checkRxBufferFull();
  return b;
}

unsigned char CDevice::PollByte() {
  auto& rx = d->m_buffs[RX];
  if (!rx.notEmpty()) return 0;
  CSingleLock lock(rx.mutex(), true);
  return rx.notEmpty() ? rx.peekByte() : 0;
}

unsigned long CDevice::ReadBuffer(unsigned char* buf, unsigned long max) {
  auto& rx = d->m_buffs[RX];
  if (!rx.notEmpty()) return 0;
  int n;
  {
    CSingleLock lock(rx.mutex(), true);
    int want = max > 0x7FFFFFFFul ? 0x7FFFFFFF : static_cast<int>(max);
    n = rx.notEmpty() ? rx.get(buf, want) : 0;
    if (!rx.notEmpty()) d->resetDataReady();
  }
  if (n > 0) d->noteRxTaken();
  d->checkRxBufferFull();
  return static_cast<unsigned long>(n);
}

thread_local const CDevicePrivate* CDevicePrivate::t_receivesAfterWrite = nullptr;

int CDevicePrivate::putWhenSpace(const unsigned char* data, unsigned long n, bool logOverrun) {
  if (n == 0) return 1;
  auto& tx = m_buffs[TX];
  const bool direct = wakeOnData();
  if (direct) {
    // A medium that wakes its receiver within the write (a loopback) holds the
    // answer already: it is received here, and the RX thread is woken only
    // for what this thread could not take.
    const std::uint32_t wakes = m_rxWakes.load();
    t_receivesAfterWrite = this;
    const bool sent = writeThrough(data, n);
    t_receivesAfterWrite = nullptr;
    if (m_rxWakes.load() != wakes && !(sent && receiveNow())) SetEvent(m_hRxWake);
    if (sent) return 1;
  }
  DWORD start = GetTickCount();
  for (;;) {
    // Noted before the look at the space, so that a take in between ends the wait.
    std::uint64_t seen = direct ? txTaken() : 0;
    {
      CSingleLock lock(tx.mutex(), true);
      // A ring of capacity C holds C - 1 bytes: n bytes fit when the free space exceeds n.
      if (static_cast<unsigned long>(tx.freeSpace()) > n) {
        bool ok = tx.put(data, static_cast<int>(n));
        if (tx.takeOverrun() && logOverrun) log(LOG_EVENT, nullptr, IDS_TX_OVERRUN);
        lock.Unlock();
        // At granularity 0 the writer resumes the TX thread itself; otherwise
        // the receive loop does, and is told to make its next pass now.
        if (direct)
          m_thrds[TX].thread.Resume();
        else
          wakeReceiver();
        return ok ? 1 : 0;
      }
    }
    DWORD elapsed = GetTickCount() - start;
    DWORD limit = static_cast<DWORD>(theApp.m_ioWriteTimeout);
    if (elapsed > limit) return -1;
    if (direct) {
      m_thrds[TX].thread.Resume();
      waitTxTaken(seen, sliceUntilDue(limit, elapsed));
    } else {
      Sleep(granularity());
    }
  }
}

bool CDevice::WriteByte(unsigned char b) { return d->putWhenSpace(&b, 1, false) == 1; }

bool CDevice::WriteBuffer(const unsigned char* data, unsigned long n) {
  return d->putWhenSpace(data, n, true) == 1;
}

void CDevice::Commit() {
  const bool direct = CDevicePrivate::wakeOnData();
  DWORD start = GetTickCount();
  for (;;) {
    std::uint64_t seen = direct ? d->txTaken() : 0;
    DWORD elapsed = GetTickCount() - start;
    DWORD limit = static_cast<DWORD>(theApp.m_ioWriteTimeout);
    if (d->m_buffs[TX].count() <= 0 || elapsed > limit) return;
    // After a panic the receive loop that wakes the TX thread may have ended.
    d->m_thrds[TX].thread.Resume();
    if (direct)
      d->waitTxTaken(seen, CDevicePrivate::sliceUntilDue(limit, elapsed));
    else
      Sleep(CDevicePrivate::granularity());
  }
}

void CDevice::Flush(bool rx, bool tx) {
  if (tx) {
    if (d->m_devHndl && d->m_devHndl->IsOpen()) d->m_devHndl->FlushOut();
    CSingleLock lock(d->m_buffs[TX].mutex(), true);
    d->m_buffs[TX].clear();
    lock.Unlock();
    d->noteTxTaken();  // writers waiting for space look again
  }
  if (rx) {
    CSingleLock lock(d->m_buffs[RX].mutex(), true);
    d->m_buffs[RX].clear();
    lock.Unlock();
    d->noteRxTaken();
  }
  d->log(LOG_EVENT, nullptr, IDS_BUFFERS_FLUSHED);
}

bool CDevice::TxReady() { return canTransmit() && !d->m_buffs[TX].aboveHighTide(); }
bool CDevice::TXQueue() const { return d->m_buffs[TX].notEmpty(); }
bool CDevice::RXQueue() const { return d->m_buffs[RX].notEmpty(); }
unsigned long CDevice::GetTxBufferCount() const { return static_cast<unsigned long>(d->m_buffs[TX].count()); }
unsigned long CDevice::GetRxBufferCount() const { return static_cast<unsigned long>(d->m_buffs[RX].count()); }

unsigned long CDevice::GetRxOverrunCount() const { return d->m_rxOverruns.load(); }

unsigned long long CDevice::TxTakenCount() const { return d->txTaken(); }

bool CDevice::WaitTxTaken(unsigned long long seen, DWORD milliseconds) const {
  d->waitTxTaken(seen, milliseconds);
  return d->txTaken() != seen;
}

unsigned long CDevice::GetMaxTransferSize() const {
  int space = d->m_buffs[TX].freeSpace();
  return space > 0 ? static_cast<unsigned long>(space - 1) : 0;
}

void CDevice::WakeReceiver() { d->wakeReceiver(); }
void CDevice::ReceiveDueIn(unsigned long ms) { d->receiveDueIn(ms); }
void CDevice::SetWakesReceiver(bool on) { d->m_wakesReceiver = on; }
void CDevice::SetWholeReads(bool on) { d->m_wholeReads = on; }
void CDevice::SetHooksAnswerAtOnce(bool on) { d->m_hooksAnswerAtOnce = on; }

}  // namespace zor
