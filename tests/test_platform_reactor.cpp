// The shared readiness reactor: one-shot arming, hang-up, removal racing dispatch.
#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>

using namespace zor;

namespace {

struct Fds {
  int r = -1, w = -1;
  Fds() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Fds() {
    if (r >= 0) ::close(r);
    if (w >= 0) ::close(w);
  }
};

struct Counter {
  std::atomic<int> calls{0};
  std::atomic<unsigned> last{0};
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ~Counter() { CloseHandle(event); }
  Reactor::Callback callback() {
    return [this](unsigned events) {
      last = events;
      ++calls;
      SetEvent(event);
    };
  }
};

TEST(Reactor, ReportsReadinessOncePerArming) {
  Fds p;
  Counter c;
  Reactor& reactor = Reactor::instance();
  Reactor::Id id = reactor.add(p.r, c.callback());
  ASSERT_NE(id, 0u);
  ASSERT_EQ(::write(p.w, "a", 1), 1);
  EXPECT_EQ(WaitForSingleObject(c.event, 50), WAIT_TIMEOUT);  // not armed yet
  ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
  ASSERT_EQ(WaitForSingleObject(c.event, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(c.last.load() & Reactor::kReadable);
  // Still readable, but the arming is used up.
  EXPECT_EQ(WaitForSingleObject(c.event, 50), WAIT_TIMEOUT);
  EXPECT_EQ(c.calls.load(), 1);
  ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
  ASSERT_EQ(WaitForSingleObject(c.event, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(c.calls.load(), 2);
  reactor.remove(id);
  EXPECT_FALSE(reactor.arm(id, Reactor::kReadable));
}

TEST(Reactor, HangUpIsReportedOnceNotOverAndOver) {
  Fds p;
  Counter c;
  Reactor& reactor = Reactor::instance();
  Reactor::Id id = reactor.add(p.r, c.callback());
  ASSERT_NE(id, 0u);
  ::close(p.w);
  p.w = -1;
  ASSERT_TRUE(reactor.arm(id, Reactor::kReadable));
  ASSERT_EQ(WaitForSingleObject(c.event, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(c.last.load() & Reactor::kHangUp);
  EXPECT_EQ(WaitForSingleObject(c.event, 50), WAIT_TIMEOUT);
  EXPECT_EQ(c.calls.load(), 1);
  reactor.remove(id);
}

TEST(Reactor, RegularFilesAreRefused) {
  char name[] = "/tmp/zor_reactor_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  EXPECT_EQ(Reactor::instance().add(fd, [](unsigned) {}), 0u);
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
