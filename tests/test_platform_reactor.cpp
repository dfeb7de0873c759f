// The shared readiness reactor: one-shot arming, hang-up, removal racing dispatch.
#include "zor/platform/socket.h"  // first: its names are macros in the system headers

namespace {
constexpr int kInet = zor::AF_INET;
constexpr int kStream = zor::SOCK_STREAM;
}  // namespace

#include "zor/platform/platform.h"
#include "zor/platform/reactor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

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

// Event selection is level-triggered across takes: a socket that stays
// readable is reported again after WSAEnumNetworkEvents and WSAResetEvent,
// and its hang-up is reported too.
TEST(Reactor, SelectedSocketIsWatchedAgainOnceItsEventsAreTaken) {
  int listener = ::socket(AF_INET, ::SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  ::sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t localLength = sizeof local;
  ASSERT_EQ(::bind(listener, reinterpret_cast<::sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<::sockaddr*>(&local), &localLength), 0);
  zor::sockaddr_in to{};
  to.sin_family = kInet;
  to.sin_port = local.sin_port;
  to.sin_addr.s_addr = local.sin_addr.s_addr;

  SOCKET s = zor::socket(kInet, kStream, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(zor::connect(s, reinterpret_cast<zor::sockaddr*>(&to), sizeof to), 0);
  int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  WSAEVENT ev = WSACreateEvent();
  ASSERT_NE(ev, nullptr);
  ASSERT_EQ(WSAEventSelect(s, ev, FD_READ | FD_CLOSE), 0);
  ASSERT_EQ(::send(peer, "x", 1, MSG_NOSIGNAL), 1);

  ASSERT_EQ(WSAWaitForMultipleEvents(1, &ev, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
  WSANETWORKEVENTS taken{};
  ASSERT_EQ(WSAEnumNetworkEvents(s, ev, &taken), 0);
  EXPECT_EQ(taken.lNetworkEvents, FD_READ);
  // The byte is still there.
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &ev, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
  ASSERT_TRUE(WSAResetEvent(ev));
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &ev, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);

  ::close(peer);
  ASSERT_TRUE(WSAResetEvent(ev));
  ASSERT_EQ(WSAWaitForMultipleEvents(1, &ev, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
  ASSERT_EQ(WSAEnumNetworkEvents(s, ev, &taken), 0);
  EXPECT_EQ(taken.lNetworkEvents, FD_READ | FD_CLOSE);

  EXPECT_EQ(WSAEventSelect(s, ev, 0), 0);
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_TRUE(WSACloseEvent(ev));
  ::close(listener);
}

}  // namespace
