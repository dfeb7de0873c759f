// A thread that waits for a receiver's event may receive in its place.
//
// An application that sends a request and then waits for the device's
// data-ready event would otherwise need two wake-ups for the answer: the
// kernel wakes the device's receiver, which wakes the application. On a
// machine whose idle cores sleep, each wake-up of a thread on another core
// costs tens of microseconds. So, while a thread waits for such an event,
// the receiver lends it its descriptor: the waiter watches the descriptor
// itself and, when it is readable, receives as the receiver would; the
// receiver, sleeping on a ReceiveWatch, is not woken meanwhile. When the wait
// ends the descriptor goes back on the receiver's watch, which wakes the
// receiver at once if something arrived in between.
#pragma once

#include <zor/platform.h>

#include <memory>
#include <mutex>

namespace zor {

class StandIn {
public:
  virtual ~StandIn() = default;
  // The descriptor a thread about to sleep on the event may watch instead of
  // the receiver, taken off the receiver's watch; -1: not now (each lend()
  // that returned a descriptor is followed by one giveBack()).
  virtual int lend() = 0;
  // The lent descriptor was ready: receive what it holds. False: stop standing
  // in for this wait (a failure, a full ring), the receiver takes over.
  virtual bool receive() = 0;
  virtual void giveBack() = 0;
};

class ReceiveWatch;

// The receiver's idle wait: as WaitForMultipleObjectsOrReadable, on its watch.
DWORD WaitForMultipleObjectsOrWatched(DWORD count, const HANDLE* events, ReceiveWatch& watch, int fd,
                                      DWORD milliseconds);

// Waits on event may stand in for the receiver behind it (null: no longer).
void setEventStandIn(HANDLE event, std::shared_ptr<StandIn> standIn);

// The descriptor an idle receiver sleeps on, one epoll set per device, which
// a stand-in can take the descriptor off without waking the receiver.
class ReceiveWatch {
public:
  ReceiveWatch();
  ~ReceiveWatch();
  ReceiveWatch(const ReceiveWatch&) = delete;
  ReceiveWatch& operator=(const ReceiveWatch&) = delete;

  // The receiver: waits until fd is readable (unless it is lent), wakeFd is
  // signalled (it is then drained) or timeoutMs passes. The readiness bits of
  // fd as Reactor::waitReadyOrWoken gives them; -1 with errno on failure.
  int wait(int fd, int wakeFd, int timeoutMs);
  // A stand-in takes fd off the watch; the last one to give it back puts it on.
  void lend(int fd);
  void giveBack();
  // Before a receiver starts on a newly opened channel: its descriptors may
  // reuse the numbers of closed ones, which left the set when they closed, so
  // the next wait adds them again.
  void forget();

private:
  void watch(int fd);
  void unwatch(int fd);

  int m_epoll;
  std::mutex m_mutex;
  int m_lent = 0;      // stand-ins holding the descriptor
  int m_lentFd = -1;   // the descriptor they hold
  int m_watched = -1;  // the descriptor on the watch
  int m_wakeFd = -1;   // the receiver's wake-up descriptor on the watch
};

}  // namespace zor
