// The monitor's writer: records captured on many threads reach the list and
// the log in capture order, behind a slow window too; commands and read-outs
// see every record before them; a capturing thread waits above the cap and
// nothing is lost; a device's close leaves its records in the log; the
// writer goes with its monitor.
#include "support/process.h"
#include "support/recorder.h"

#include "zor/monitor/record_queue.h"

#include <zor/zor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace zor {
namespace {

using zor_test::TestEnv;
using zor_test::waitUntil;
using zortest::readText;
using namespace std::chrono_literals;

// A list target that takes its time now and then, as a busy window does.
class SlowList : public MessageTarget {
public:
  explicit SlowList(int every) : m_every(every) {}
  bool post(UINT, WPARAM, LPARAM) override {
    if (++m_posts % m_every == 0) std::this_thread::sleep_for(1ms);
    return true;
  }

private:
  const int m_every;
  std::atomic<int> m_posts{0};
};

// The data fields of the file's lines, in order, for the lines of this tag
// ("<<TX") and its continuation lines ("<<..").
std::vector<std::string> fileData(const std::string& text, const std::string& tag) {
  std::vector<std::string> out;
  for (std::size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
    std::string line = text.substr(pos, end - pos);
    if (line.rfind(tag + "\t", 0) == 0 || line.rfind(tag.substr(0, 2) + "..\t", 0) == 0)
      out.push_back(line.substr(line.rfind('\t') + 1));
  }
  return out;
}

TEST(MonitorWriter, RecordsOfConcurrentThreadsKeepTheirOrderBehindASlowListAndFiltersCutInOrder) {
  TestEnv env;
  zor_test::SettingsScope settings;
  std::thread([] {}).join();  // a sanitizer's own thread starts with the first thread
  const int before = zor_test::threadCount();
  {
    CDevNull dev;
    CMonitorDlg* mon = dev.Monitor();
    SlowList list(64);
    mon->SetListTarget(&list);
    mon->SetView(MONITOR_VIEW_HEX);
    const std::string path = env.path("writer.txt");
    ASSERT_TRUE(mon->StartLogFile(path.c_str()));
    auto log = [&](int kind, std::vector<unsigned char> bytes) {
      CMonitorDlg::LogCallback(reinterpret_cast<long>(mon), kind, bytes.data(), bytes.size());
    };
    // A record before a filter command is written under the old filter, one after under the new.
    log(LOG_TX, {0xa0});
    mon->ToggleFilterTX();
    log(LOG_TX, {0xa1});
    mon->ToggleFilterTX();
    log(LOG_TX, {0xa2});

    constexpr int kThreads = 4, kEach = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i)
          log(LOG_RX, {static_cast<unsigned char>(t), static_cast<unsigned char>(i >> 8),
                       static_cast<unsigned char>(i)});
      });
    for (auto& th : threads) th.join();

    // The read-outs let every record through first.
    ASSERT_EQ(mon->RecordsProcessed(), 2u + kThreads * kEach);
    ASSERT_EQ(mon->LineCount(), 2 + kThreads * kEach);
    MonitorLine l;
    ASSERT_TRUE(mon->GetLine(0, l));
    EXPECT_EQ(l.data, "a0 ");
    ASSERT_TRUE(mon->GetLine(1, l));
    EXPECT_EQ(l.data, "a2 ");
    int next[kThreads] = {};
    for (int i = 2; i < mon->LineCount(); ++i) {
      ASSERT_TRUE(mon->GetLine(i, l));
      unsigned t = 0, hi = 0, lo = 0;
      ASSERT_EQ(std::sscanf(l.data.c_str(), "%x %x %x", &t, &hi, &lo), 3) << l.data;
      ASSERT_LT(t, static_cast<unsigned>(kThreads));
      ASSERT_EQ(static_cast<int>(hi << 8 | lo), next[t]++) << "line " << i;
    }
    // The file holds what the list holds, line for line, already flushed.
    const std::string text = readText(path);
    auto rx = fileData(text, ">>RX");
    ASSERT_EQ(rx.size(), static_cast<std::size_t>(kThreads * kEach));
    for (int i = 0; i < kThreads * kEach; i += 97) {
      ASSERT_TRUE(mon->GetLine(i + 2, l));
      EXPECT_EQ(rx[i], l.data);
    }
    EXPECT_EQ(fileData(text, "<<TX"), (std::vector<std::string>{"a0 ", "a2 "}));
    mon->SetListTarget(nullptr);
  }
  // The writer went with its monitor.
  EXPECT_TRUE(waitUntil([&] { return zor_test::threadCount() <= before; }, 3000)) << zor_test::threadCount();
}

TEST(MonitorWriter, ACapturingThreadWaitsAboveTheCapAndNothingIsLost) {
  std::mutex gate;
  std::unique_lock closed(gate);
  std::atomic<int> inSink{0};
  std::vector<unsigned char> seen;
  CRecordQueue queue(
      [&](const std::vector<CapturedRecord>& records, const unsigned char* bytes) {
        ++inSink;
        std::lock_guard wait(gate);
        for (const CapturedRecord& r : records) seen.push_back(bytes[r.offset]);
      },
      4 * (16 + sizeof(CapturedRecord)));
  std::atomic<int> pushed{0};
  std::thread capturer([&] {
    for (int i = 0; i < 100; ++i) {
      unsigned char record[16] = {static_cast<unsigned char>(i)};
      queue.Push(LOG_RX, 0, record, sizeof record, true);
      ++pushed;
    }
  });
  // The first record is in the held sink; three more fit under the cap of four.
  ASSERT_TRUE(waitUntil([&] { return inSink.load() == 1 && pushed.load() >= 4; }, 5000));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed.load(), 4);
  closed.unlock();
  capturer.join();
  queue.Drain();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(seen[i], i);
  // Once stopped, a record goes through on the capturing thread, after all the rest.
  queue.Stop();
  unsigned char last = 200;
  queue.Push(LOG_RX, 0, &last, 1, true);
  ASSERT_EQ(seen.size(), 101u);
  EXPECT_EQ(seen.back(), 200);
}

TEST(MonitorWriter, ClosingTheDeviceLeavesEveryRecordInTheLog) {
  TestEnv env;
  zor_test::SettingsScope settings;
  settings->m_threadGranularity = 0;
  CDevNull dev;
  dev.Loopback(true);
  CMonitorDlg* mon = dev.Monitor();
  SlowList list(1);  // the writer lags behind the traffic
  mon->SetListTarget(&list);
  const std::string path = env.path("closed.txt");
  ASSERT_TRUE(mon->StartLogFile(path.c_str()));
  mon->SetView(MONITOR_VIEW_HEX);
  dev.InstallLogger(&CMonitorDlg::LogCallback, reinterpret_cast<long>(mon));
  ASSERT_TRUE(dev.OpenDevice(0, 4096, 4096));
  std::vector<unsigned char> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  for (std::size_t at = 0; at < data.size(); at += 100) ASSERT_TRUE(dev.WriteBuffer(data.data() + at, 100));
  ASSERT_EQ(zor_test::readBytes(dev, data.size(), 10000), data);
  dev.CloseDevice();
  // Read straight from the file: the close let the records through.
  const std::string text = readText(path);
  std::string expected;
  char hex[4];
  for (unsigned char b : data) expected.append(hex, std::snprintf(hex, sizeof hex, "%.2x ", b));
  for (const char* tag : {"<<TX", ">>RX"}) {
    std::string all;
    for (const std::string& d : fileData(text, tag)) all += d;
    EXPECT_EQ(all, expected) << tag;
  }
  dev.InstallLogger(nullptr, 0);
  mon->SetListTarget(nullptr);
}

}  // namespace
}  // namespace zor
