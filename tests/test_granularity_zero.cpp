// "Thread granularity" 0: the worker threads wait for their work, never for
// time. Every medium moves a mebibyte in order in each overlap mode, a round
// at a time, and then idles without spinning; playback answers when due.
// Flow control, the TX park and panic recovery at 0 are in test_flow.cpp.
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include "zor/remote/remoteserver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace zor;
using namespace zor_test;
using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point t) { return static_cast<long>((Clock::now() - t) / 1ms); }

class ZeroGranularity : public ::testing::Test {
protected:
  void SetUp() override {
    settings->m_threadGranularity = 0;
    settings->m_ioTimeout = 100;
    settings->m_ioWriteTimeout = 2000;
    settings->m_autoresumeTimer = 30;
  }
  SettingsScope settings;
  TestEnv env;
};

enum Medium { kLoopback, kPlayback, kSerial, kRelay };
const char* const kMediumNames[] = {"Loopback", "Playback", "Serial", "Relay"};

class Transfer : public ZeroGranularity, public ::testing::WithParamInterface<std::tuple<Medium, int>> {
protected:
  void TearDown() override { closeAll(); }
  // Playback replays a log that answers each write; the other media echo.
  void open(const std::vector<Bytes>& writes, const std::vector<Bytes>& answers) {
    auto [medium, flags] = GetParam();
    if (medium == kPlayback) {
      std::string log;
      for (std::size_t i = 0; i < writes.size(); ++i) {
        for (auto w = writes[i].begin(); w < writes[i].end(); w += 1024)  // the TX thread's unit
          addLogRecord(log, 0, 1000, Bytes(w, w + std::min<long>(1024, writes[i].end() - w)));
        addLogRecord(log, 2, 1000, answers[i]);
      }
      zortest::writeText(env.path("log.txt"), log);
      auto pb = std::make_unique<CDevPlayback>(env.path("log.txt").c_str());
      ASSERT_TRUE(pb->OpenDevice(flags, 8192, 8192));
      dev = std::move(pb);
    } else if (medium == kSerial) {
      pty = std::make_unique<zortest::PtyPair>();
      ASSERT_TRUE(pty->ok() && zortest::linkComPort(zortest::portNumber(), pty->path()));
      auto port = std::make_unique<CDevRS232>();
      port->DeviceProgram(false, 115200, 'N', 8, 1);
      ASSERT_TRUE(port->OpenDevice(zortest::portNumber(), flags, 8192, 8192));
      dev = std::move(port);
    } else {
      auto loop = std::make_unique<CDevNull>();
      loop->Loopback(true);
      ASSERT_TRUE(loop->OpenDevice(flags, 8192, 8192));
      dev = std::move(loop);
      if (medium == kRelay) {  // a TCP client of a server relaying the loopback device
        // Other test programs on this machine may hold the fixed ports for a while.
        waitUntil(
            [] {
              return !zortest::isListening(zortest::kServerPort) &&
                     !zortest::isListening(zortest::kClientPort);
            },
            30000);
        echo = std::move(dev);
        server = std::make_unique<CRemoteServer>(echo.get(), &serverEvents);
        ASSERT_TRUE(server->Start());
        auto client = std::make_unique<CDevTcp>("127.0.0.1");
        ASSERT_TRUE(client->OpenDevice(flags, 8192, 8192));
        dev = std::move(client);
      }
    }
    rec.attach(*dev);
  }
  // One write and its answer; on the serial line the test is the instrument.
  bool exchange(const Bytes& w, const Bytes& a) {
    if (!dev->WriteBuffer(w.data(), w.size())) return false;
    if (pty && (pty->receive(w.size(), 5000) != zortest::asString(w) || !pty->send(zortest::asString(a))))
      return false;
    return readBytes(*dev, a.size(), 5000) == a;
  }
  void closeAll() {
    ::testing::internal::CaptureStderr();
    dev.reset();  // destruction closes
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                ::testing::Not(::testing::HasSubstr("did not end")));
    server.reset();
    echo.reset();
    if (pty) zortest::unlinkComPort(zortest::portNumber());
    pty.reset();
  }

  std::unique_ptr<zortest::PtyPair> pty;
  std::unique_ptr<CDevice> echo;
  MessageQueue serverEvents;
  std::unique_ptr<CRemoteServer> server;
  LogRecorder rec;  // outlives the device that logs into it
  std::unique_ptr<CDevice> dev;
};

}  // namespace

TEST_P(Transfer, AMebibyteArrivesInOrderOnceAndTheIdleLinkDoesNotSpin) {
  std::vector<Bytes> writes, answers;
  Bytes sent, came;
  for (unsigned i = 0; i <= 256; ++i) {
    writes.push_back(zortest::pattern(i < 256 ? 4096 : 100, i + 1));
    answers.push_back(std::get<0>(GetParam()) == kPlayback ? Bytes(writes[i].rbegin(), writes[i].rend())
                                                           : writes[i]);
    sent.insert(sent.end(), writes[i].begin(), writes[i].end());
    came.insert(came.end(), answers[i].begin(), answers[i].end());
  }
  ASSERT_NO_FATAL_FAILURE(open(writes, answers));

  // Lock-step: each round resumes the parked TX thread and wakes the idle
  // reader, so one lost wake-up (a 250 ms slice) a round would take over 60 s.
  std::size_t rounds = 0;
  for (auto start = Clock::now(); rounds < 256 && Clock::now() < start + 20s; ++rounds)
    ASSERT_TRUE(exchange(writes[rounds], answers[rounds])) << "round " << rounds;
  EXPECT_EQ(rounds, 256u);

  long cpu = zortest::processCpuMs();
  auto idle = Clock::now();
  EXPECT_EQ(WaitForSingleObject(dev->DataReadyEvent(), 400), WAIT_TIMEOUT) << "nothing comes twice";
  EXPECT_LT(zortest::processCpuMs() - cpu, msSince(idle) / 2) << "a thread spins while the link idles";
  EXPECT_TRUE(exchange(writes.back(), answers.back())) << "after the idle spell";

  EXPECT_TRUE(rec.bytes(LOG_TX) == sent) << "each chunk is logged once";
  EXPECT_TRUE(rec.bytes(LOG_RX) == came);
  EXPECT_EQ(rec.countEvent(IDS_RX_OVERRUN), 0u);
  EXPECT_TRUE(rec.bytes(LOG_PLAYBACK_ERROR).empty());
  const int running = threadCount();
  closeAll();
  EXPECT_LE(threadCount(), running - 3) << "the device's two workers and its resumer are gone";
}

// Overlap flags 1 and 2 open as 3 on a one-name channel (all of these), so 0 and 3 are the two modes.
INSTANTIATE_TEST_SUITE_P(Media, Transfer,
                         ::testing::Combine(::testing::Values(kLoopback, kPlayback, kSerial, kRelay),
                                            ::testing::Values(0, 3)),
                         [](const auto& info) {
                           return kMediumNames[std::get<0>(info.param)] +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST_F(ZeroGranularity, PlaybackAnswersInOrderAndNeverBeforeTheirRecordedTime) {
  // The first answer is due 300 ms after its query, the other 99 after 10 ms.
  std::string log;
  for (unsigned char i = 0; i < 100; ++i) {
    addLogRecord(log, 0, 1000 + 400 * i, {0x10, i});
    addLogRecord(log, 2, 1000 + 400 * i + (i ? 10 : 300), {0x20, i});
  }
  zortest::writeText(env.path("log.txt"), log);
  CDevPlayback dev(env.path("log.txt").c_str());
  ASSERT_TRUE(dev.OpenDevice(0, 4096, 4096));
  // Answers waiting for a safety slice instead of their time would take 25 s.
  int answered = 0;
  for (auto start = Clock::now(); answered < 100 && Clock::now() < start + 12s; ++answered) {
    const unsigned char i = static_cast<unsigned char>(answered);
    auto written = Clock::now();
    ASSERT_TRUE(dev.WriteBuffer(Bytes{0x10, i}.data(), 2));
    ASSERT_EQ(readBytes(dev, 2, 3000), (Bytes{0x20, i})) << answered;
    ASSERT_GE(msSince(written), i ? 9 : 290) << "answer " << answered << " came before its time";
  }
  EXPECT_EQ(answered, 100);
}
