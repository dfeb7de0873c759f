// A thread waiting for the data-ready event at granularity 0 receives in the
// RX thread's place: it gets its answer without a second thread's wake-up;
// what arrives while nobody waits is still the RX thread's; waiters and the
// RX thread together lose and reorder nothing; a failure goes back to the RX
// thread without the waiter spinning; a device may go while one waits.
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"
#include "support/testdevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace zor;
using namespace zor_test;
using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

namespace {

// Notes which thread stored the last chunk (the received hook runs on it).
struct Storer {
  static void hook(void* context) {
    auto* self = static_cast<Storer*>(context);
    std::lock_guard lock(self->mutex);
    self->last = std::this_thread::get_id();
  }
  std::thread::id get() {
    std::lock_guard lock(mutex);
    return last;
  }
  std::mutex mutex;
  std::thread::id last;
};

class StandIn : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_threadGranularity = 0;
    ASSERT_TRUE(pty.ok() && zortest::linkComPort(zortest::portNumber(), pty.path()));
    port = std::make_unique<CDevRS232>();
    port->DeviceProgram(false, 115200, 'N', 8, 1);
    ASSERT_TRUE(port->OpenDevice(zortest::portNumber(), 0, 1 << 16, 4096));
    rec.attach(*port);
    port->SetReceivedHook(&Storer::hook, &storer);
  }
  void TearDown() override {
    port.reset();
    zortest::unlinkComPort(zortest::portNumber());
  }
  // The instrument answers after a pause, long enough for the test to be waiting.
  std::thread answerLater(std::string text) {
    return std::thread([this, text] {
      std::this_thread::sleep_for(50ms);
      pty.send(text);
    });
  }

  SettingsScope settings;
  TestEnv env;
  zortest::PtyPair pty;
  LogRecorder rec;  // outlives the device that logs into it
  Storer storer;
  std::unique_ptr<CDevRS232> port;
};

TEST_F(StandIn, TheWaiterReceivesItsAnswerAndTheReceiverWatchesAgainWhenItLeaves) {
  int byWaiter = 0;
  std::string all;
  for (int round = 0; round < 10; ++round) {
    const std::string answer = "answer " + std::to_string(round) + ";";
    std::thread instrument = answerLater(answer);
    const DWORD woke = WaitForSingleObject(port->DataReadyEvent(), 5000);
    instrument.join();
    ASSERT_EQ(woke, WAIT_OBJECT_0) << "round " << round;
    if (storer.get() == std::this_thread::get_id()) ++byWaiter;
    ASSERT_EQ(zortest::asString(readBytes(*port, answer.size(), 5000)), answer);
    all += answer;
  }
  // One round could lose the race to the instrument; ten cannot.
  EXPECT_GT(byWaiter, 0) << "every answer took the RX thread's wake-up";

  // A wait that ended with nothing gives the channel back: bytes that come
  // when nobody waits wake the RX thread at once, not at its next look up to
  // a second later (three times, so that such a look cannot pass for it).
  for (int late = 0; late < 3; ++late) {
    EXPECT_EQ(WaitForSingleObject(port->DataReadyEvent(), 30), WAIT_TIMEOUT);
    ASSERT_TRUE(pty.send("late"));
    EXPECT_TRUE(waitUntil([&] { return port->GetRxBufferCount() == 4; }, 400))
        << "nobody watches the channel";
    EXPECT_NE(storer.get(), std::this_thread::get_id());
    EXPECT_EQ(zortest::asString(readBytes(*port, 4, 5000)), "late");
    all += "late";
  }
  EXPECT_EQ(zortest::asString(rec.bytes(LOG_RX)), all);
}

TEST_F(StandIn, AReopenedPortIsWatchedAtOnceThoughItsDescriptorsTakeTheOldNumbers) {
  // The receiver's stop and its data each wake it; one missed wake-up costs
  // its one-second look, which the bound tells from the close and open.
  for (int reopen = 0; reopen < 3; ++reopen) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(port->CloseDevice());
    ASSERT_TRUE(port->OpenDevice(zortest::portNumber(), 0, 1 << 16, 4096));
    ASSERT_TRUE(pty.send("again"));
    ASSERT_TRUE(waitUntil([&] { return port->GetRxBufferCount() == 5; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms) << "reopen " << reopen << " missed a wake-up";
    EXPECT_EQ(zortest::asString(readBytes(*port, 5, 5000)), "again");
  }
}

TEST_F(StandIn, WaitersAndTheReceiverShareAStreamWithoutLossOrReorder) {
  const Bytes stream = zortest::pattern(256 * 1024, 7);
  std::atomic<bool> done{false};
  auto waiter = [&] {
    for (int i = 0; i < 100000 && !done; ++i) WaitForSingleObject(port->DataReadyEvent(), 20);
  };
  std::thread w1(waiter), w2(waiter);
  std::thread instrument([&] {
    for (std::size_t at = 0; at < stream.size(); at += 4096)
      pty.send(
          std::string(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + 4096)));
  });
  const Bytes got = readBytes(*port, stream.size(), 20000);
  done = true;
  instrument.join();
  w1.join();
  w2.join();
  EXPECT_TRUE(got == stream) << got.size() << " of " << stream.size() << " bytes, or not in order";
  EXPECT_TRUE(rec.bytes(LOG_RX) == stream) << "each chunk is logged once, in order";
  EXPECT_EQ(rec.countEvent(IDS_RX_OVERRUN), 0u);
}

TEST_F(StandIn, AFailureGoesBackToTheReceiverAndTheWaiterDoesNotSpin) {
  std::thread instrument([&] {
    std::this_thread::sleep_for(50ms);
    pty.hangUp();
  });
  const long cpu = zortest::processCpuMs();
  const auto start = std::chrono::steady_clock::now();
  WaitForSingleObject(port->DataReadyEvent(), 400);
  WaitForSingleObject(port->DataReadyEvent(), 300);
  const long elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  instrument.join();
  EXPECT_LT(zortest::processCpuMs() - cpu, elapsed / 2) << "a thread spins on the failed line";
  EXPECT_TRUE(waitUntil([&] { return !rec.events().empty(); }, 5000)) << "the RX thread did not report";
}

TEST_F(StandIn, ADeviceMayGoWhileAThreadWaitsForIt) {
  std::atomic<DWORD> woke{WAIT_FAILED};
  HANDLE ready = port->DataReadyEvent();
  std::thread waiter([&] { woke = WaitForSingleObject(ready, 5000); });
  std::this_thread::sleep_for(50ms);
  port.reset();
  waiter.join();
  EXPECT_NE(woke.load(), WAIT_TIMEOUT) << "the close wakes whoever waits";
}

}  // namespace
