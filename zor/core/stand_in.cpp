// An application thread that waits for the data-ready event at granularity 0
// receives in the RX thread's place: the answer to a request then wakes the
// one thread that wants it, instead of the RX thread that would wake it in
// turn. The RX thread is left its other duties; a failure, a full ring or a
// chunk that gives nothing go back to it.
#include "zor/core/device_p.h"

namespace zor {

namespace {
// The stand-in whose receive this thread is in: a wait from within it (a
// received hook that waits, against its contract) does not stand in again.
thread_local const RxStandIn* t_receiving = nullptr;
}  // namespace

int RxStandIn::lend() {
  if (t_receiving == this) return -1;
  std::lock_guard lock(m_mutex);
  const int fd = m_d != nullptr ? m_d->standInDescriptor() : -1;
  if (fd >= 0) m_watch.lend(fd);
  return fd;
}

bool RxStandIn::receive() {
  std::lock_guard lock(m_mutex);
  t_receiving = this;
  const bool received = m_d != nullptr && m_d->receiveStandingIn();
  t_receiving = nullptr;
  return received;
}

void RxStandIn::detach() {
  std::lock_guard lock(m_mutex);
  m_d = nullptr;
}

int CDevicePrivate::standInDescriptor() {
  if (!wakeOnData() || overlapped(RX) || m_thrds[RX].panic || !m_devHndl) return -1;
  ChannelTransport in = m_devHndl->Use(true);
  if (in.get() == nullptr || in.get()->readIsTheWait()) return -1;
  return in.get()->readableDescriptor();
}

bool CDevicePrivate::receiveStandingIn() {
  ThreadRec& t = m_thrds[RX];
  // The turn keeps the order of chunks and records with the RX thread's own.
  if (t.panic || !m_devHndl || !m_receiveTurn.takeUnlessHeldHere()) return false;
  int chunk = 0;
  const long r = receiveTakenTurn(&chunk);
  // A failure is the RX thread's to report and recover from; a readable
  // descriptor that gave nothing is left to it too, so that this thread
  // never spins on it.
  if (r <= 0) SetEvent(m_hRxWake);
  return r > 0;
}

}  // namespace zor
