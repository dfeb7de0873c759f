// A channel of hooks whose hooks answer overlapped: an application's CDevice
// subclass that completes its reads and writes later, from a thread of its
// own, through the OVERLAPPED it was given.
#include <gtest/gtest.h>

#include "support/recorder.h"
#include "support/tcppeer.h"

#include <zor/zor.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace zor;
using namespace zor_test;
using zortest::pattern;

namespace {

using Bytes = std::vector<unsigned char>;

// Where its direction runs overlapped, every hook call answers pending; a
// completer thread finishes reads when input is there and writes unless held.
class LaterDevice : public CDevice {
public:
  LaterDevice() : m_completer([this] { complete(); }) { constructor(); }
  ~LaterDevice() override {
    destroyer();
    change([this] { m_stop = true; });
    m_completer.join();
  }
  zorType Type() const override { return ZOR_NULL; }

  // Two names of no medium: the hooks serve them, and the flags stay per direction.
  bool Open(int flags) {
    SetChannelOwner();
    unsigned long error = 0;
    return openDevice("line-in", "line-out", flags, 4096, 4096, &error);
  }
  void feed(const Bytes& bytes) {
    change([&] { m_input.insert(m_input.end(), bytes.begin(), bytes.end()); });
    WakeReceiver();
  }
  void holdWrites(bool on) {
    change([&] { m_holdWrites = on; });
  }
  Bytes written() const { return locked(m_output); }
  int pendingAnswers(int k) const { return locked(m_pendingAnswers[k]); }
  bool overlappingCalls() const { return locked(m_overlapping); }

protected:
  int GetIOSize(int) const override { return 100; }
  int hook_readFile(void*, void* buffer, unsigned long size, unsigned long* done, OVERLAPPED* ovl) override {
    return answer(0, buffer, size, done, ovl);
  }
  int hook_writeFile(void*, const void* data, unsigned long size, unsigned long* done,
                     OVERLAPPED* ovl) override {
    return answer(1, const_cast<void*>(data), size, done, ovl);
  }
  // What is still pending ends now, as the contract asks of a closing device.
  bool close_device() override {
    std::lock_guard lock(m_mutex);
    for (Job& job : m_jobs) finish(job, ERROR_OPERATION_ABORTED, 0);
    m_jobs.clear();
    return true;
  }

private:
  template <typename F>
  void change(F f) {
    {
      std::lock_guard lock(m_mutex);
      f();
    }
    m_changed.notify_all();
  }
  template <typename T>
  T locked(const T& field) const {
    std::lock_guard lock(m_mutex);
    return field;
  }

  struct Job {
    int k;
    unsigned char* buffer;
    unsigned long size;
    OVERLAPPED* ovl;
  };

  int answer(int k, void* buffer, unsigned long size, unsigned long* done, OVERLAPPED* ovl) {
    std::lock_guard lock(m_mutex);
    Job job{k, static_cast<unsigned char*>(buffer), size, ovl};
    if (ovl == nullptr) {
      *done = move(job);
      return TRUE;
    }
    for (const Job& other : m_jobs) m_overlapping = m_overlapping || other.k == k;
    ++m_pendingAnswers[k];
    m_jobs.push_back(job);
    m_changed.notify_all();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }

  // Called with m_mutex held.
  unsigned long move(const Job& job) {
    unsigned long n = 0;
    if (job.k == 0) {
      for (; n < job.size && !m_input.empty(); ++n) {
        job.buffer[n] = m_input.front();
        m_input.pop_front();
      }
    } else {
      m_output.insert(m_output.end(), job.buffer, job.buffer + job.size);
      n = job.size;
    }
    return n;
  }

  static void finish(Job& job, DWORD error, unsigned long n) {
    job.ovl->Internal = error;
    job.ovl->InternalHigh = n;
    SetEvent(job.ovl->hEvent);
  }

  void complete() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
      m_changed.wait_for(lock, std::chrono::milliseconds(20));
      for (auto it = m_jobs.begin(); it != m_jobs.end();) {
        bool ready = it->k == 0 ? !m_input.empty() : !m_holdWrites;
        if (!ready) {
          ++it;
          continue;
        }
        finish(*it, ERROR_SUCCESS, move(*it));
        it = m_jobs.erase(it);
      }
    }
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<unsigned char> m_input;
  Bytes m_output;
  std::deque<Job> m_jobs;
  int m_pendingAnswers[2] = {0, 0};
  bool m_overlapping = false;
  bool m_holdWrites = false;
  bool m_stop = false;
  std::thread m_completer;
};

}  // namespace

// Each of the four combinations moves the same bytes both ways, in order,
// across idle reads that outlast "I/O Timeout"; the hooks see an OVERLAPPED
// exactly in the overlapped directions, and never a second call of a
// direction while one is pending.
TEST(HookTransport, HooksThatCompleteLaterMoveTheSameBytesInEveryOverlapCombination) {
  SettingsScope settings;
  settings->m_ioTimeout = 30;
  settings->m_ioWriteTimeout = 2000;
  for (int granularity : {0, 2}) {
    settings->m_threadGranularity = granularity;
    for (int flags = 0; flags < 4; ++flags) {
      SCOPED_TRACE("flags " + std::to_string(flags) + ", granularity " + std::to_string(granularity));
      LaterDevice dev;
      ASSERT_TRUE(dev.Open(flags));
      std::this_thread::sleep_for(std::chrono::milliseconds(80));  // idle reads pass their bound
      const Bytes in = pattern(3000, flags), out = pattern(2500, flags + 100);
      for (std::size_t i = 0; i < in.size(); i += 700)
        dev.feed(Bytes(in.begin() + i, in.begin() + std::min(in.size(), i + 700)));
      ASSERT_TRUE(dev.WriteBuffer(out.data(), out.size()));
      EXPECT_EQ(readBytes(dev, in.size(), 5000), in);
      EXPECT_TRUE(waitUntil([&] { return dev.written().size() >= out.size(); }, 5000));
      EXPECT_EQ(dev.written(), out);
      for (int k = 0; k < 2; ++k)
        EXPECT_EQ(dev.pendingAnswers(k) > 0, (flags & (1 << k)) != 0) << "direction " << k;
      EXPECT_FALSE(dev.overlappingCalls());
      EXPECT_TRUE(dev.CloseDevice()) << "the read pending at the close ends";
    }
  }
}

// A write still pending after both time-outs is given up, and so is one
// that comes while the hook still holds it: the hook gets no new bytes before
// it has answered the old ones. Once it has, writes go on.
TEST(HookTransport, AWriteHeldPastTheTimeOutsIsGivenUpAndHoldsBackTheNext) {
  SettingsScope settings;
  settings->m_ioTimeout = 30;
  settings->m_ioWriteTimeout = 100;
  settings->m_threadGranularity = 0;
  LaterDevice dev;
  ASSERT_TRUE(dev.Open(2));
  dev.holdWrites(true);
  const Bytes first = pattern(50, 1), second = pattern(60, 2), third = pattern(70, 3);
  ASSERT_TRUE(dev.WriteBuffer(first.data(), first.size()));
  ASSERT_TRUE(waitUntil([&] { return dev.pendingAnswers(1) == 1 && dev.GetTxBufferCount() == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // past both time-outs
  ASSERT_TRUE(dev.WriteBuffer(second.data(), second.size()));
  EXPECT_FALSE(waitUntil([&] { return dev.pendingAnswers(1) > 1; }, 400)) << "held back, then given up";
  EXPECT_TRUE(dev.written().empty());
  dev.holdWrites(false);
  EXPECT_TRUE(waitUntil([&] { return dev.written() == first; }, 3000));
  ASSERT_TRUE(dev.WriteBuffer(third.data(), third.size()));
  Bytes expected = first;
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_TRUE(waitUntil([&] { return dev.written().size() >= expected.size(); }, 3000));
  EXPECT_EQ(dev.written(), expected);
  EXPECT_FALSE(dev.overlappingCalls());
  EXPECT_TRUE(dev.CloseDevice());
}
