// Events and the wait functions.
//
// All event state lives under one mutex so that a wait on several events sees
// them consistently and an automatic-reset event releases exactly one waiter.
// A waiter sleeps on its own condition variable, registered with every event
// it waits for; setting an event wakes only those waiters, after the mutex is
// released, so that the woken thread does not at once block on it again.
//
// A thread that also waits for a descriptor to become readable sleeps in the
// reactor's direct wait instead; its waiter is then woken through a wake-up
// descriptor of that thread. So does a thread that stands in for the receiver
// behind an event it waits for (stand_in.h).
#include "zor/platform/handle.h"
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"
#include "zor/platform/stand_in.h"

#include <zor/fdwait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace zor {
namespace {

std::mutex& eventMutex() {
  static std::mutex* m = new std::mutex;  // used by handles closed during static destruction
  return *m;
}

struct Waiter {
  std::condition_variable cv;
  std::shared_ptr<Reactor::WakeDescriptor> wake;  // set: the waiter sleeps in the reactor's direct wait

  void notify() {
    if (wake)
      wake->wake();
    else
      cv.notify_one();
  }
};
using WaiterRef = std::shared_ptr<Waiter>;  // a setter may notify after the waiter has left

class EventObject : public HandleObject {
public:
  EventObject(bool manual, bool initial) : manualReset(manual), signalled(initial) {}

  // All under eventMutex().
  bool manualReset;
  bool signalled;
  std::vector<WaiterRef> waiters;
  std::shared_ptr<StandIn> standIn;
};

}  // namespace

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, const char*) {
  return registerHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
  auto e = lookupHandleAs<EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Few waiters wait on one event; a small copy keeps them alive until notified.
  WaiterRef first;
  std::vector<WaiterRef> more;
  {
    std::lock_guard lock(eventMutex());
    e->signalled = true;
    if (!e->waiters.empty()) {
      first = e->waiters.front();
      more.assign(e->waiters.begin() + 1, e->waiters.end());
    }
  }
  if (first) first->notify();
  for (auto& w : more) w->notify();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = lookupHandleAs<EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(eventMutex());
  e->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

namespace {

// Gives a lent descriptor back however the wait ends, after the event mutex
// is released: a stand-in's calls take its own locks, which are held while
// events are set.
struct StandingIn {
  std::shared_ptr<StandIn> standIn;
  int fd = -1;
  void stop() {
    if (standIn) standIn->giveBack();
    standIn.reset();
    fd = -1;
  }
  ~StandingIn() { stop(); }
};

// readFd >= 0: the wait also ends, with WAIT_OBJECT_0 + count, when that
// descriptor is readable (or hung up); watch: the receiver's own watch of it.
DWORD waitFor(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, int readFd,
              ReceiveWatch* watch = nullptr) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<EventObject>> events(count);
  for (DWORD i = 0; i < count; ++i) {
    events[i] = lookupHandleAs<EventObject>(handles[i]);
    if (!events[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }

  StandingIn standing;
  if (milliseconds != 0 && readFd < 0 && !waitAll) {
    std::shared_ptr<StandIn> standIn;
    {
      std::lock_guard lock(eventMutex());
      for (auto& e : events) {
        if (e->signalled) {
          standIn.reset();
          break;
        }
        if (!standIn) standIn = e->standIn;
      }
    }
    if (standIn && (standing.fd = standIn->lend()) >= 0) standing.standIn = std::move(standIn);
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  WaiterRef waiter = milliseconds != 0 ? std::make_shared<Waiter>() : nullptr;
  if (waiter && (readFd >= 0 || standing.standIn)) {
    waiter->wake = Reactor::threadWake();
    if (waiter->wake->fd < 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return WAIT_FAILED;
    }
  }
  std::unique_lock lock(eventMutex());
  bool registered = false;
  auto unregister = [&] {
    if (!registered) return;
    for (auto& e : events) std::erase(e->waiters, waiter);
    registered = false;
  };

  for (;;) {
    if (waitAll) {
      if (std::all_of(events.begin(), events.end(), [](auto& e) { return e->signalled; })) {
        for (auto& e : events)
          if (!e->manualReset) e->signalled = false;
        unregister();
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (events[i]->signalled) {
          if (!events[i]->manualReset) events[i]->signalled = false;
          unregister();
          return WAIT_OBJECT_0 + i;
        }
      }
    }
    if (milliseconds == 0) break;
    if (!registered) {
      for (auto& e : events) e->waiters.push_back(waiter);
      registered = true;
    }
    if (waiter->wake) {
      int timeout = -1;
      if (milliseconds != INFINITE) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timeout = left.count() < 0 ? 0 : static_cast<int>(left.count());
      }
      lock.unlock();
      int ready;
      if (readFd >= 0) {
        ready = watch != nullptr
                    ? watch->wait(readFd, waiter->wake->fd, timeout)
                    : Reactor::waitReadyOrWoken(readFd, Reactor::kReadable, waiter->wake->fd, timeout);
      } else {
        // Standing in, or no longer (then only the wake-up descriptor counts:
        // a negative descriptor is left out of the wait).
        ready = Reactor::waitReadyOrWoken(standing.fd, Reactor::kReadable, waiter->wake->fd, timeout);
        if (standing.standIn && ready != 0) {
          // A look that failed, or a receive that gave up: the receiver takes over.
          if (ready < 0 || !standing.standIn->receive()) standing.stop();
          ready = 0;  // whether anything came, the events say
        }
      }
      lock.lock();
      if (ready < 0) {
        unregister();
        SetLastError(win32ErrorFromErrno(errno));
        return WAIT_FAILED;
      }
      if (ready > 0) {
        // An event set meanwhile still wins: lower indexes first.
        for (DWORD i = 0; i < count && !waitAll; ++i) {
          if (events[i]->signalled) {
            if (!events[i]->manualReset) events[i]->signalled = false;
            unregister();
            return WAIT_OBJECT_0 + i;
          }
        }
        unregister();
        return WAIT_OBJECT_0 + count;
      }
      if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) milliseconds = 0;
    } else if (milliseconds == INFINITE) {
      waiter->cv.wait(lock);
    } else if (waiter->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: an event set at the deadline still counts.
      milliseconds = 0;
    }
  }
  unregister();
  return WAIT_TIMEOUT;
}

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return waitFor(count, handles, waitAll, milliseconds, -1);
}

DWORD WaitForMultipleObjectsOrWatched(DWORD count, const HANDLE* events, ReceiveWatch& watch, int fd,
                                      DWORD milliseconds) {
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return waitFor(count, events, FALSE, milliseconds, fd, &watch);
}

void setEventStandIn(HANDLE event, std::shared_ptr<StandIn> standIn) {
  if (auto e = lookupHandleAs<EventObject>(event)) {
    std::lock_guard lock(eventMutex());
    e->standIn = std::move(standIn);
  }
}

DWORD WaitForMultipleObjectsOrReadable(DWORD count, const HANDLE* events, int fd, DWORD milliseconds) {
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return waitFor(count, events, FALSE, milliseconds, fd);
}

}  // namespace zor
