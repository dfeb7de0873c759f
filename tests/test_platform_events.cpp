// Events and waits (also beside a descriptor), posted-message queues, the timed mutex, and the shared
// readiness reactor (one-shot arming, hang-up, removal racing dispatch).
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include "support/recorder.h"

#include <zor/fdwait.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

using namespace zor;
using zor_test::waitUntil;

namespace {

struct Event {
  HANDLE h;
  Event(bool manual, bool initial) : h(CreateEventA(nullptr, manual, initial, nullptr)) {}
  ~Event() { CloseHandle(h); }
};

TEST(Events, ResetKindsAndWaitsOnMany) {
  Event manual(true, false), automatic(false, true);
  ASSERT_NE(manual.h, nullptr);
  auto start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(manual.h, 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 29u) << "a time-out never ends earlier than asked";
  ASSERT_TRUE(SetEvent(manual.h));
  EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(manual.h));
  EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_TIMEOUT);
  SetEvent(automatic.h);
  SetEvent(automatic.h);  // setting twice still releases one wait
  EXPECT_EQ(WaitForSingleObject(automatic.h, 10), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_TIMEOUT);

  // Wait-any reports the lowest index; wait-all needs every event.
  Event a(true, false), b(true, true), c(false, true);
  HANDLE hs[3] = {a.h, b.h, c.h};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
  // The automatic event at index 2 was not consumed by that wait.
  ResetEvent(b.h);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(a.h);
  SetEvent(c.h);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0);

  HANDLE all[2] = {b.h, c.h};  // b manual and reset, c automatic and set
  EXPECT_EQ(WaitForMultipleObjects(2, all, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(c.h, 0), WAIT_OBJECT_0) << "a failed wait-all consumes nothing";
  SetEvent(b.h);
  SetEvent(c.h);
  EXPECT_EQ(WaitForMultipleObjects(2, all, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(c.h, 0), WAIT_TIMEOUT) << "the automatic one was consumed";
  EXPECT_EQ(WaitForSingleObject(b.h, 0), WAIT_OBJECT_0);
}

// A set from another thread wakes a waiter, and an automatic event only one.
TEST(Events, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Event other(true, false), e(false, false);
  HANDLE hs[2] = {other.h, e.h};
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (WaitForMultipleObjects(2, hs, FALSE, 5000) == WAIT_OBJECT_0 + 1) ++released;
  };
  std::thread t1(waiter), t2(waiter);
  SetEvent(e.h);
  EXPECT_TRUE(waitUntil([&] { return released.load() > 0; }, 5000));
  Sleep(50);  // time for a second, wrong release to show
  EXPECT_EQ(released.load(), 1);
  SetEvent(e.h);
  t1.join();
  t2.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(Events, BadHandlesFailTheWaitAndTheLastErrorIsPerThread) {
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
  Event ok(true, true);
  HANDLE hs[2] = {ok.h, h};
  EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, hs, FALSE, 0), WAIT_FAILED);

  SetLastError(1234);
  DWORD other = 0;
  std::thread([&] {
    SetLastError(5);
    other = GetLastError();
  }).join();
  EXPECT_EQ(other, 5u);
  EXPECT_EQ(GetLastError(), 1234u);
}

// A program's own descriptor beside the library's events: either ends the
// wait, an event first; a regular file never makes it wait.
TEST(Events, WaitForEventsOrReadableEndsForEitherAndAnEventFirst) {
  Event e(true, false);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(WaitForMultipleObjectsOrReadable(1, &e.h, fds[0], 0), WAIT_TIMEOUT);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_EQ(WaitForMultipleObjectsOrReadable(1, &e.h, fds[0], 5000), WAIT_OBJECT_0 + 1);
  SetEvent(e.h);
  EXPECT_EQ(WaitForMultipleObjectsOrReadable(1, &e.h, fds[0], 5000), WAIT_OBJECT_0);
  ::close(fds[0]);
  ::close(fds[1]);

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ResetEvent(e.h);
  EXPECT_EQ(WaitForMultipleObjectsOrReadable(1, &e.h, ::fileno(file), 5000), WAIT_OBJECT_0 + 1);
  std::fclose(file);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjectsOrReadable(1, &e.h, -1, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A get that waits for a post from another thread, and an empty queue's
// time-out, are what the TCP server's and relay's tests read their events by.
TEST(MessageQueue, PostNeverBlocksIntoAFullQueueAndPeekLeavesOrTakes) {
  MessageQueue q(3);
  for (UINT i = 0; i < 3; ++i) EXPECT_TRUE(PostMessageA(&q, 0x400 + i, i + 1, 10 * (i + 1)));
  EXPECT_FALSE(PostMessageA(&q, 0x403, 4, 40));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_EQ(q.size(), 3u);
  MSG m;
  ASSERT_TRUE(q.peek(m, false));
  EXPECT_EQ(m.message, 0x400u);
  ASSERT_TRUE(q.get(m, 0));
  EXPECT_EQ(m.message, 0x400u);
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_EQ(m.lParam, 10);
  ASSERT_TRUE(q.peek(m, true));
  EXPECT_EQ(m.message, 0x401u);
  EXPECT_TRUE(PostMessageA(&q, 0x404, 5, 50));  // room again
  EXPECT_FALSE(PostMessageA(nullptr, 1, 0, 0));
  for (UINT want : {0x402u, 0x404u}) {
    ASSERT_TRUE(q.get(m, 0));
    EXPECT_EQ(m.message, want);
  }
  EXPECT_FALSE(q.get(m, 0));
}

TEST(CMutexLock, TimesOutWhileAnotherThreadHoldsItAndOnlyTheOwnerUnlocks) {
  CMutex mutex;
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    CSingleLock lock(&mutex, true);
    held = true;
    waitUntil([&] { return release.load(); }, 5000);
  });
  ASSERT_TRUE(waitUntil([&] { return held.load(); }, 5000));
  {
    CSingleLock lock(&mutex);
    EXPECT_FALSE(lock.Lock(30));
    EXPECT_FALSE(lock.IsLocked());
    release = true;
    EXPECT_TRUE(lock.Lock(5000));
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_TRUE(lock.Lock(0));  // already held by this lock
  }
  holder.join();
  {
    CSingleLock again(&mutex);
    EXPECT_TRUE(again.Lock(0)) << "released by the scope";
    EXPECT_TRUE(mutex.Lock(0)) << "recursive for its owner";
    bool strayUnlock = true, otherGot = true;
    std::thread([&] {
      strayUnlock = mutex.Unlock();
      otherGot = mutex.Lock(0);
    }).join();
    EXPECT_FALSE(strayUnlock);
    EXPECT_FALSE(otherGot);
    EXPECT_TRUE(mutex.Unlock());
  }
  EXPECT_FALSE(mutex.Unlock()) << "no one holds it";
}

struct Fds {
  int r = -1, w = -1;
  Fds() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) r = fds[0], w = fds[1];
  }
  ~Fds() {
    if (r >= 0) ::close(r);
    if (w >= 0) ::close(w);
  }
};

struct Counter {
  std::atomic<int> calls{0};
  std::atomic<unsigned> last{0};
  Event fired{false, false};
  Reactor::Callback callback() {
    return [this](unsigned events) {
      last = events;
      ++calls;
      SetEvent(fired.h);
    };
  }
  bool wait(DWORD ms) { return WaitForSingleObject(fired.h, ms) == WAIT_OBJECT_0; }
};

// Readiness is reported once per arming, and so is a hang-up, not over and over.
// Regular files are refused.
TEST(Reactor, ReportsReadinessAndHangUpOncePerArming) {
  Fds p;
  Counter c;
  Reactor& reactor = Reactor::instance();
  Reactor::Id id = reactor.add(p.r, c.callback());
  ASSERT_NE(id, 0u);
  ASSERT_EQ(::write(p.w, "a", 1), 1);
  EXPECT_FALSE(c.wait(50)) << "not armed yet";
  ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
  ASSERT_TRUE(c.wait(5000));
  EXPECT_TRUE(c.last.load() & Reactor::kReadable);
  EXPECT_FALSE(c.wait(50)) << "still readable, but the arming is used up";
  EXPECT_EQ(c.calls.load(), 1);

  ::close(p.w);
  p.w = -1;
  ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
  ASSERT_TRUE(c.wait(5000));
  EXPECT_TRUE(c.last.load() & Reactor::kHangUp);
  EXPECT_FALSE(c.wait(50));
  EXPECT_EQ(c.calls.load(), 2);
  reactor.remove(id);
  EXPECT_FALSE(reactor.arm(id, Reactor::kReadable));

  char name[] = "/tmp/zor_reactor_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  EXPECT_EQ(reactor.add(fd, [](unsigned) {}), 0u) << "a regular file is always ready: refused";
  ::close(fd);
}

// The callback's state goes away right after removal; a dispatch still in
// flight reaches it only through a weak reference.
TEST(Reactor, RemovalRacingDispatchIsSafe) {
  Reactor& reactor = Reactor::instance();
  for (int i = 0; i < 300; ++i) {
    Fds p;
    auto state = std::make_shared<std::atomic<int>>(0);
    std::weak_ptr<std::atomic<int>> weak = state;
    Reactor::Id id = reactor.add(p.r, [weak](unsigned) {
      if (auto s = weak.lock()) ++*s;
    });
    ASSERT_NE(id, 0u);
    ASSERT_EQ(::write(p.w, "a", 1), 1);
    ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
    if (i % 3 == 0) Sleep(0);
    reactor.remove(id);
    state.reset();
  }
}

}  // namespace
