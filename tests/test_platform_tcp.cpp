// TCP connections and listeners of the platform layer: bounded transfers, the
// end of the peer, cancels and closes from another thread, the owner of the
// other end, and the address look-ups. Ephemeral ports on loopback addresses only.
#include "zor/platform/tcp.h"

#include "support/recorder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace zor;

namespace {

struct Link {
  TcpListener listener;
  std::unique_ptr<TcpTransport> client;
  std::unique_ptr<TcpTransport> server;
  TcpAddress caller;
};

// A connection on 127.0.0.1, made from `from`.
void link(Link& l, const char* from = "127.0.0.1") {
  DWORD error = 0;
  ASSERT_TRUE(l.listener.open({parseIpv4("127.0.0.1"), 0}, &error)) << error;
  l.client = TcpTransport::connect(l.listener.address(), 5000, &error, parseIpv4(from));
  ASSERT_TRUE(l.client) << error;
  l.server = l.listener.accept(5000, &l.caller, &error);
  ASSERT_TRUE(l.server) << error;
}

// Reads until n bytes came or a read fails (each read bounded).
std::string readBytes(TcpTransport& t, std::size_t n) {
  std::string got;
  char buf[256];
  DWORD error = 0;
  for (int i = 0; i < 100 && got.size() < n; ++i) {
    long r = t.read(buf, sizeof buf, 2000, &error);
    if (r < 0) break;
    got.append(buf, static_cast<std::size_t>(r));
  }
  return got;
}

TEST(Tcp, MovesBytesBothWaysWithinBoundsAndTellsThePeerAndItsLeaving) {
  Link l;
  ASSERT_NO_FATAL_FAILURE(link(l, "127.0.0.5"));
  EXPECT_EQ(formatIpv4(l.caller.address), "127.0.0.5") << "left from the bound address";
  EXPECT_EQ(l.server->peerAddress().port, l.client->localAddress().port);
  EXPECT_EQ(l.client->peerAddress().port, l.listener.address().port);

  char buf[16];
  DWORD error = 0;
  EXPECT_EQ(l.server->read(buf, sizeof buf, 0, &error), 0) << "nothing there: at once";
  EXPECT_EQ(l.server->read(buf, sizeof buf, 20, &error), 0) << "nothing within the bound";
  EXPECT_EQ(l.client->write("abc", 3, 1000, &error), 3);
  EXPECT_EQ(readBytes(*l.server, 3), "abc");
  EXPECT_TRUE(l.server->writeAll("hello", 5, &error));
  EXPECT_EQ(readBytes(*l.client, 5), "hello");

  unsigned long uid = kNoUser;
  EXPECT_EQ(l.server->peerOwner(&uid), PeerOwner::Same);
  EXPECT_EQ(uid, static_cast<unsigned long>(::geteuid()));
  EXPECT_FALSE(l.server->peerHasLeft());

  // The peer sends a last byte and goes: gone, while its byte still waits.
  EXPECT_EQ(l.client->write("x", 1, 1000, &error), 1);
  l.client->close();
  EXPECT_TRUE(zor_test::waitUntil([&] { return l.server->peerHasLeft(); }, 5000));
  // Its descriptor stays readable, with the hang-up, for as long as that is so.
  const unsigned wanted = Reactor::kReadable | Reactor::kHangUp;
  for (int look = 0; look < 2; ++look)
    EXPECT_EQ(Reactor::waitReadyOrWoken(l.server->readableDescriptor(), Reactor::kReadable,
                                        Reactor::threadWake()->fd, 5000) &
                  wanted,
              wanted);
  EXPECT_EQ(readBytes(*l.server, 1), "x");
  EXPECT_EQ(l.server->read(buf, sizeof buf, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_BROKEN_PIPE);
  EXPECT_EQ(l.client->write("y", 1, 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE) << "closed here";
  EXPECT_EQ(l.client->peerOwner(&uid), PeerOwner::Unknown);
  EXPECT_EQ(uid, kNoUser);

  // A write the peer never makes room for takes what fits and gives up at its bound.
  std::vector<char> big(64 << 20, 'z');
  long n = l.server->write(big.data(), static_cast<unsigned long>(big.size()), 0, &error);
  EXPECT_TRUE(n == -1 || n < static_cast<long>(big.size()));
}

TEST(Tcp, CancelAndCloseEndAWaitOnAnotherThread) {
  Link l;
  ASSERT_NO_FATAL_FAILURE(link(l));
  char buf[16];
  DWORD error = 0;
  // A cancel that comes first ends the next read at once, and only that one.
  l.server->cancel(true);
  EXPECT_EQ(l.server->read(buf, sizeof buf, 60000, &error), -1);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(l.server->read(buf, sizeof buf, 10, &error), 0);

  for (bool closing : {false, true}) {
    long got = 1;
    DWORD why = 0;
    std::thread reader([&] { got = l.server->read(buf, sizeof buf, 60000, &why); });
    // Whether the read waits yet or not, it ends (a cancel is kept for it).
    if (closing)
      l.server->close();
    else
      l.server->cancel(true);
    reader.join();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(why, closing ? ERROR_INVALID_HANDLE : ERROR_OPERATION_ABORTED);
  }

  // A writer held by a peer that does not read is ended by cancel(false).
  Link held;
  ASSERT_NO_FATAL_FAILURE(link(held));
  std::vector<char> big(64 << 20, 'z');
  std::atomic<long> sent{0};
  DWORD why = 0;
  std::thread writer([&] {
    for (int i = 0; i < 100 && sent >= 0; ++i) sent = held.client->write(big.data(), big.size(), 60000, &why);
  });
  // Bounded: each cancel ends one write; the loop ends at the first that fails.
  for (int i = 0; i < 1000 && sent >= 0; ++i) {
    held.client->cancel(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  writer.join();
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(why, ERROR_OPERATION_ABORTED);
}

TEST(Tcp, AcceptAndConnectAreBoundedAndEndedFromAnotherThread) {
  TcpListener listener;
  DWORD error = 0;
  ASSERT_TRUE(listener.open({parseIpv4("127.0.0.1"), 0}, &error, 0));
  const TcpAddress at = listener.address();
  TcpListener second;
  EXPECT_FALSE(second.open(at, &error)) << "one listener per address and port";
  EXPECT_EQ(error, WSAEADDRINUSE);

  EXPECT_EQ(listener.accept(10, nullptr, &error), nullptr);
  EXPECT_EQ(error, WSAETIMEDOUT);
  std::unique_ptr<TcpTransport> accepted;
  DWORD why = 0;
  std::thread acceptor([&] { accepted = listener.accept(60000, nullptr, &why); });
  listener.wake();
  acceptor.join();
  EXPECT_EQ(accepted, nullptr);
  EXPECT_EQ(why, ERROR_OPERATION_ABORTED);

  // A caller in the queue is seen only when callers are watched.
  auto caller = TcpTransport::connect(at, 5000, &error);
  ASSERT_TRUE(caller) << error;
  EXPECT_EQ(listener.waitCaller(10, false), 0);
  EXPECT_EQ(listener.waitCaller(5000, true), 1);

  // The queue (backlog 0) is full now: a further connect is not answered.
  EXPECT_EQ(TcpTransport::connect(at, 50, &error), nullptr);
  EXPECT_EQ(error, WSAETIMEDOUT);
  TcpStop stop;
  std::unique_ptr<TcpTransport> late;
  std::thread connector([&] { late = TcpTransport::connect(at, 60000, &why, kAnyAddress, &stop); });
  stop.stop();
  connector.join();
  EXPECT_EQ(late, nullptr);
  EXPECT_EQ(why, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(TcpTransport::connect(at, 5000, &error, kAnyAddress, &stop), nullptr) << "stopped for good";

  listener.close();
  EXPECT_EQ(TcpTransport::connect(at, 5000, &error), nullptr);
  EXPECT_EQ(error, WSAECONNREFUSED);
  EXPECT_EQ(listener.waitCaller(0, true), -1) << "closed";
}

TEST(Tcp, AddressesAndNames) {
  EXPECT_EQ(formatIpv4(parseIpv4("10.1.2.3")), "10.1.2.3");
  EXPECT_EQ(parseIpv4("nowhere"), kNoAddress);
  EXPECT_EQ(parseIpv4(nullptr), kNoAddress);
  EXPECT_TRUE(isLoopbackAddress(parseIpv4("127.0.0.2")));
  EXPECT_FALSE(isLoopbackAddress(parseIpv4("128.0.0.1")));
  std::uint32_t address = 0;
  DWORD error = 0;
  ASSERT_TRUE(resolveIpv4("127.0.0.9", &address, &error));
  EXPECT_EQ(formatIpv4(address), "127.0.0.9");
  ASSERT_TRUE(resolveIpv4("localhost", &address, &error));
  EXPECT_TRUE(isLoopbackAddress(address));
  EXPECT_FALSE(resolveIpv4("", &address, &error));
  EXPECT_EQ(error, WSAHOST_NOT_FOUND);
  EXPECT_FALSE(resolveIpv4("no-such-host.invalid", &address, &error));
  EXPECT_EQ(error, WSAHOST_NOT_FOUND);
  std::uint32_t local = 0;
  ASSERT_TRUE(localAddressTo(parseIpv4("127.0.0.1"), &local, &error));
  EXPECT_EQ(formatIpv4(local), "127.0.0.1");
  EXPECT_FALSE(localHostName().empty());
}

}  // namespace
