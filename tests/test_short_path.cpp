// The short path: at granularity 0 a writer that finds the TX thread with
// nothing to do sends its bytes itself, never past a transfer under way (flow
// control and pacing holding such writes back are in test_flow.cpp); bytes
// and records keep their order whoever sends, also when writers meet on a full
// TX ring; a slow monitor never holds up a reader. A mebibyte through the
// loopback is in test_granularity_zero.cpp and test_console.cpp.
#include <zor/zor.h>

#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/testdevice.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <thread>

using namespace zor;
using namespace zor_test;
using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

namespace {

// Records which thread hands each write to the medium. A write may be held
// (it waits, bounded, until released) and, overlapped, answered pending and
// completed by the test.
class Probe : public TestDevice {
public:
  struct Call {
    std::thread::id thread;
    Bytes bytes;
  };
  std::vector<Call> calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  std::size_t callCount() const { return calls().size(); }
  Bytes sent() const {
    Bytes all;
    for (auto& c : calls()) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
  }
  // Completes the write answered pending, once there is one.
  bool completePending() {
    if (!waitUntil([&] { return m_pending.load() != nullptr; }, 5000)) return false;
    OVERLAPPED* ovl = m_pending.exchange(nullptr);
    ovl->Internal = ERROR_SUCCESS;
    ovl->InternalHigh = m_pendingSize;
    SetEvent(ovl->hEvent);
    return true;
  }

  ~Probe() override { CloseDevice(); }  // no hook runs once this part is gone

  std::atomic<bool> hold{false}, inWrite{false}, answerPending{false};

protected:
  int hook_writeFile(void* h, const void* buffer, unsigned long size, unsigned long* done,
                     OVERLAPPED* ovl) override {
    {
      std::lock_guard lock(m_mutex);
      auto* p = static_cast<const unsigned char*>(buffer);
      m_calls.push_back({std::this_thread::get_id(), Bytes(p, p + size)});
    }
    inWrite = true;
    for (int i = 0; hold && i < 5000; ++i) std::this_thread::sleep_for(1ms);
    inWrite = false;
    if (ovl != nullptr && answerPending) {
      m_pendingSize = size;
      m_pending = ovl;
      SetLastError(ERROR_IO_PENDING);
      return 0;
    }
    return TestDevice::hook_writeFile(h, buffer, size, done, ovl);
  }

private:
  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
  std::atomic<OVERLAPPED*> m_pending{nullptr};
  std::atomic<unsigned long> m_pendingSize{0};
};

class ShortPath : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_threadGranularity = 0;
    settings->m_ioTimeout = 100;
    settings->m_ioWriteTimeout = 5000;
  }
  static bool write(CDevice& dev, const char* text) {
    return dev.WriteBuffer(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
  }
  static Bytes bytes(const char* text) { return Bytes(text, text + std::strlen(text)); }
  SettingsScope settings;
  TestEnv env;
};

TEST_F(ShortPath, AWriterSendsItselfOnlyWhenTheTxThreadHasNothingBeforeIt) {
  const auto me = std::this_thread::get_id();
  Probe dev;
  ASSERT_TRUE(dev.OpenDevice(0, 4096, 4096));
  // The TX thread parks soon after the open and after each chunk: a write
  // that finds it parked is sent within WriteBuffer, on the writer's thread.
  std::string expect;
  bool passedThrough = false;
  for (int i = 0; i < 100 && !passedThrough; ++i) {
    const std::size_t before = dev.callCount();
    ASSERT_TRUE(write(dev, "a"));
    expect += "a";
    passedThrough = dev.callCount() == before + 1 && dev.calls().back().thread == me;
    ASSERT_TRUE(waitUntil([&] { return dev.callCount() == before + 1; }, 5000));
  }
  EXPECT_TRUE(passedThrough);

  // A write held in the medium: a second writer queues behind it, and the TX
  // thread sends its bytes once the first is through.
  dev.hold = true;
  std::thread first([&] { write(dev, "b"); });
  ASSERT_TRUE(waitUntil([&] { return dev.inWrite.load(); }, 5000));
  const std::size_t held = dev.callCount();
  ASSERT_TRUE(write(dev, "c"));
  EXPECT_EQ(dev.callCount(), held) << "nothing passes a write under way";
  const auto firstId = first.get_id();
  dev.hold = false;
  first.join();
  expect += "bc";
  ASSERT_TRUE(waitUntil([&] { return dev.sent() == bytes(expect.c_str()); }, 5000));
  EXPECT_NE(dev.calls().back().thread, me);
  EXPECT_NE(dev.calls().back().thread, firstId);
  dev.CloseDevice();

  // At a granularity of 1 ms or more the TX thread sends everything.
  settings->m_threadGranularity = 15;
  Probe paced;
  ASSERT_TRUE(paced.OpenDevice(0, 4096, 4096));
  ASSERT_TRUE(write(paced, "d"));
  ASSERT_TRUE(waitUntil([&] { return paced.callCount() == 1; }, 5000));
  EXPECT_NE(paced.calls()[0].thread, me);
}

TEST_F(ShortPath, APendingOverlappedWriteKeepsLaterWritesWithTheTxThread) {
  const auto me = std::this_thread::get_id();
  Probe dev;
  dev.answerPending = true;
  ASSERT_TRUE(dev.OpenDevice(3, 4096, 4096));
  ASSERT_TRUE(write(dev, "x"));
  ASSERT_TRUE(waitUntil([&] { return dev.callCount() == 1; }, 5000));
  ASSERT_TRUE(write(dev, "y"));
  EXPECT_EQ(dev.callCount(), 1u) << "no write is issued while one is pending";
  ASSERT_TRUE(dev.completePending());
  ASSERT_TRUE(waitUntil([&] { return dev.callCount() == 2; }, 5000));
  ASSERT_TRUE(dev.completePending());
  for (auto& c : dev.calls()) EXPECT_NE(c.thread, me);
  EXPECT_EQ(dev.sent(), bytes("xy"));
}

// A record sink that takes its time, as a log file on a busy disk.
struct SlowSink {
  static void callback(long context, int kind, const void* data, unsigned long size) {
    auto* self = reinterpret_cast<SlowSink*>(context);
    std::this_thread::sleep_for(20us);
    LogRecorder::callback(reinterpret_cast<long>(&self->rec), kind, data, size);
  }
  LogRecorder rec;
};

TEST_F(ShortPath, TwoWritersAtOnceKeepEachWriteWholeAndTheRecordsInByteOrder) {
  Probe dev;
  SlowSink sink;
  dev.InstallLogger(&SlowSink::callback, reinterpret_cast<long>(&sink));
  ASSERT_TRUE(dev.OpenDevice(0, 1 << 16, 64));  // a small TX ring makes the writers wait for room
  // A write: its writer, its number, its length, then that many bytes of both.
  constexpr int kWrites = 400;
  auto writer = [&](unsigned char tag) {
    for (int i = 0; i < kWrites; ++i) {
      Bytes w{tag, static_cast<unsigned char>(i), static_cast<unsigned char>(i % 61)};
      for (int j = 0; j < i % 61; ++j) w.push_back(static_cast<unsigned char>(tag ^ i));
      EXPECT_TRUE(dev.WriteBuffer(w.data(), static_cast<unsigned long>(w.size())));
    }
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  a.join();
  b.join();
  std::size_t total = 0;
  for (int i = 0; i < kWrites; ++i) total += 2 * (3 + i % 61);
  ASSERT_TRUE(waitUntil([&] { return dev.sent().size() >= total; }, 10000));
  int next[2] = {0, 0};
  const Bytes out = dev.sent();
  EXPECT_EQ(out.size(), total);
  for (std::size_t at = 0; at < out.size();) {
    ASSERT_LE(at + 3, out.size());
    const unsigned char tag = out[at], n = out[at + 2];
    ASSERT_TRUE(tag == 'A' || tag == 'B') << "a write cut at " << at;
    int& expect = next[tag - 'A'];
    ASSERT_EQ(out[at + 1], static_cast<unsigned char>(expect)) << "lost or reordered at " << at;
    ASSERT_EQ(n, expect % 61);
    ASSERT_LE(at + 3 + n, out.size());
    for (int j = 0; j < n; ++j) ASSERT_EQ(out[at + 3 + j], static_cast<unsigned char>(tag ^ expect)) << at;
    ++expect;
    at += 3u + n;
  }
  EXPECT_EQ(next[0], kWrites);
  EXPECT_EQ(next[1], kWrites);
  EXPECT_EQ(sink.rec.bytes(LOG_TX), out) << "the records follow the bytes";
  dev.CloseDevice();
}

// A monitor stuck on a record of received bytes (the first of the B's): the
// reader still takes what came before, and the records keep the bytes' order.
class SlowMonitor : public ShortPath, public ::testing::WithParamInterface<bool> {};

struct StuckSink {
  static void callback(long context, int kind, const void* data, unsigned long size) {
    auto* self = reinterpret_cast<StuckSink*>(context);
    if (kind == LOG_RX && size > 0 && static_cast<const unsigned char*>(data)[0] == 'B' && !self->stuck) {
      std::unique_lock lock(self->mutex);
      self->stuck = true;
      self->cv.wait_for(lock, 10s, [&] { return self->released; });
    }
    LogRecorder::callback(reinterpret_cast<long>(&self->rec), kind, data, size);
  }
  void release() {
    std::lock_guard lock(mutex);
    released = true;
    cv.notify_all();
  }
  std::atomic<bool> stuck{false};
  bool released = false;
  std::mutex mutex;
  std::condition_variable cv;
  LogRecorder rec;
};

TEST_P(SlowMonitor, NeverHoldsUpTheReader) {
  const bool serial = GetParam();
  zortest::PtyPair pty;
  std::unique_ptr<CDevice> dev;
  Probe* probe = nullptr;
  StuckSink sink;
  if (serial) {  // a medium with a descriptor: read straight into the ring
    ASSERT_TRUE(pty.ok() && zortest::linkComPort(zortest::portNumber(), pty.path()));
    auto port = std::make_unique<CDevRS232>();
    port->DeviceProgram(false, 115200, 'N', 8, 1);
    ASSERT_TRUE(port->OpenDevice(zortest::portNumber(), 0, 4096, 4096));
    dev = std::move(port);
  } else {
    auto p = std::make_unique<Probe>();
    probe = p.get();
    ASSERT_TRUE(p->OpenDevice(0, 4096, 4096));
    dev = std::move(p);
  }
  dev->InstallLogger(&StuckSink::callback, reinterpret_cast<long>(&sink));
  auto send = [&](const char* text) {
    if (serial)
      pty.send(text);
    else
      probe->feed(bytes(text));
  };
  send("AAAAA");
  ASSERT_TRUE(waitUntil([&] { return dev->GetRxBufferCount() == 5; }, 5000));
  send("BBBBBB");
  ASSERT_TRUE(waitUntil([&] { return sink.stuck.load(); }, 5000));
  auto reader = std::async(std::launch::async, [&] { return readBytes(*dev, 5, 5000); });
  const bool readWhileStuck = reader.wait_for(5s) == std::future_status::ready;
  sink.release();
  EXPECT_TRUE(readWhileStuck) << "the reader waited for the monitor";
  EXPECT_EQ(reader.get(), bytes("AAAAA"));
  EXPECT_EQ(readBytes(*dev, 6, 5000), bytes("BBBBBB"));
  EXPECT_EQ(sink.rec.bytes(LOG_RX), bytes("AAAAABBBBBB"));
  dev.reset();
  if (serial) zortest::unlinkComPort(zortest::portNumber());
}

INSTANTIATE_TEST_SUITE_P(Media, SlowMonitor, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Serial" : "Hooks"; });

}  // namespace
