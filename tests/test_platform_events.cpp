// Events and waits, posted-message queues, and the timed mutex.
#include <zor/platform.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace zor;

namespace {

struct Event {
  HANDLE h;
  Event(bool manual, bool initial) : h(CreateEventA(nullptr, manual, initial, nullptr)) {}
  ~Event() { CloseHandle(h); }
};

TEST(Events, ManualResetStaysSignalledUntilReset) {
  Event e(true, false);
  ASSERT_NE(e.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(e.h));
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(e.h));
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetIsConsumedByOneWait) {
  Event e(false, true);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
  SetEvent(e.h);
  SetEvent(e.h);  // setting twice still releases one wait
  EXPECT_EQ(WaitForSingleObject(e.h, 10), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(Events, WaitAnyReportsLowestSignalledIndex) {
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
}

TEST(Events, WaitAllNeedsEveryEvent) {
  Event a(true, true), b(false, false);
  HANDLE hs[2] = {a.h, b.h};
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(b.h);
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b.h, 0), WAIT_TIMEOUT);  // the automatic one was consumed
  EXPECT_EQ(WaitForSingleObject(a.h, 0), WAIT_OBJECT_0);
}

TEST(Events, TimeOutWithoutSignalNeverEarlierThanAsked) {
  Event e(true, false);
  auto start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(e.h, 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 29u);  // the tick count advances with the wait too
}

TEST(Events, SetFromAnotherThreadWakesInfiniteWaiter) {
  Event a(true, false), b(false, false);
  HANDLE hs[2] = {a.h, b.h};
  std::thread setter([&] {
    Sleep(20);
    SetEvent(b.h);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  setter.join();
}

TEST(Events, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Event e(false, false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (WaitForSingleObject(e.h, 2000) == WAIT_OBJECT_0) ++released;
  };
  std::thread t1(waiter), t2(waiter);
  Sleep(50);
  SetEvent(e.h);
  // Wait until one got it, then check the other is still waiting.
  for (int i = 0; i < 200 && released.load() == 0; ++i) Sleep(5);
  Sleep(50);
  EXPECT_EQ(released.load(), 1);
  SetEvent(e.h);
  t1.join();
  t2.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(Events, InvalidAndClosedHandlesFailTheWait) {
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
}

TEST(LastError, IsPerThread) {
  SetLastError(1234);
  DWORD other = 0;
  std::thread([&] {
    SetLastError(5);
    other = GetLastError();
  }).join();
  EXPECT_EQ(other, 5u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(MessageQueue, PostNeverBlocksAndRespectsTheLimit) {
  MessageQueue q(3);
  EXPECT_TRUE(PostMessageA(&q, 0x400, 1, 10));
  EXPECT_TRUE(PostMessageA(&q, 0x401, 2, 20));
  EXPECT_TRUE(PostMessageA(&q, 0x402, 3, 30));
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
}

TEST(MessageQueue, GetWaitsForAPostOrTimesOut) {
  MessageQueue q;
  MSG m;
  EXPECT_FALSE(q.get(m, 20));
  std::thread poster([&] {
    Sleep(20);
    PostMessageA(&q, 0x401, 7, 0);
  });
  ASSERT_TRUE(q.get(m, INFINITE));
  EXPECT_EQ(m.wParam, 7u);
  poster.join();
}

TEST(CMutexLock, TimesOutWhileAnotherThreadHoldsIt) {
  CMutex mutex;
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    CSingleLock lock(&mutex, true);
    held = true;
    for (int i = 0; i < 400 && !release.load(); ++i) Sleep(5);
  });
  for (int i = 0; i < 400 && !held.load(); ++i) Sleep(5);
  ASSERT_TRUE(held.load());
  {
    CSingleLock lock(&mutex);
    EXPECT_FALSE(lock.Lock(30));
    EXPECT_FALSE(lock.IsLocked());
    release = true;
    EXPECT_TRUE(lock.Lock(2000));
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_TRUE(lock.Lock(0));  // already held by this lock
  }
  holder.join();
  // Released by the scope: free for anyone now.
  CSingleLock again(&mutex);
  EXPECT_TRUE(again.Lock(0));
}

TEST(CMutexLock, IsRecursiveAndOnlyTheOwnerCanUnlock) {
  CMutex mutex;
  ASSERT_TRUE(mutex.Lock(0));
  {
    CSingleLock again(&mutex, true);
    EXPECT_TRUE(again.IsLocked());
  }
  bool strayUnlock = true, otherGot = true;
  std::thread([&] {
    strayUnlock = mutex.Unlock();
    otherGot = mutex.Lock(0);
  }).join();
  EXPECT_FALSE(strayUnlock);
  EXPECT_FALSE(otherGot);
  EXPECT_TRUE(mutex.Unlock());
  EXPECT_FALSE(mutex.Unlock());
}

}  // namespace
