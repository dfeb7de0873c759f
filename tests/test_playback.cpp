// The playback device: the traffic log read back as a script, receptions
// delivered as they fall due, transmissions matched against writes, bad logs
// refused with one clear line; and a loopback session replayed from its log.
#include "support/process.h"
#include "support/recorder.h"

#include "zor/devices/trafficlog_reader.h"

#include <zor/zor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zor_test::TestEnv;
using zortest::writeText;
using Bytes = std::vector<unsigned char>;

std::string hexRow(const char* tag, const char* time, std::size_t size, const Bytes& data) {
  std::string row = std::string(tag) + "\t" + time + "\t" + (size ? std::to_string(size) : "") + "\t";
  char buf[4];
  for (unsigned char b : data) {
    std::snprintf(buf, sizeof buf, "%.2x ", b);
    row += buf;
  }
  return row + "\r\n";
}

std::vector<zor_test::LogRecord> ofKind(const zor_test::LogRecorder& log, int kind) {
  std::vector<zor_test::LogRecord> out;
  for (auto& r : log.records())
    if (r.kind == kind) out.push_back(r);
  return out;
}

class PlaybackTest : public ::testing::Test {
protected:
  // Writes the log and opens a playback device on it, its records going to `log`.
  void open(const std::string& text) {
    writeText(path, text);
    dev = std::make_unique<CDevPlayback>(path.c_str());
    log.attach(*dev);
    ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
  }
  void write(const Bytes& bytes) { ASSERT_TRUE(dev->WriteBuffer(bytes.data(), bytes.size())); }
  // Nothing is received for a while (used only where nothing may ever come).
  bool staysSilent(unsigned ms = 150) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return !dev->RXQueue();
  }
  void TearDown() override { dev.reset(); }

  TestEnv env;
  std::string path = env.path("log.txt");
  zor_test::LogRecorder log;
  std::unique_ptr<CDevPlayback> dev;
};

const std::string kExchange = "<<TX\t00:00:01.000\t2\t01 02 \r\n>>RX\t00:00:01.300\t3\t0a 0b 0c \r\n";

TEST_F(PlaybackTest, AnswerFollowsTheMatchingWritePacedLikeTheRecording) {
  theApp.m_truePlayback = true;
  open(kExchange);
  EXPECT_TRUE(staysSilent());  // the script waits for the write
  auto written = std::chrono::steady_clock::now();
  write({1, 2});
  Bytes got = zor_test::readBytes(*dev, 3, 3000);
  auto gap = std::chrono::steady_clock::now() - written;
  EXPECT_THAT(got, ElementsAre(0x0a, 0x0b, 0x0c));
  // Never early: the recording put 300 ms between the write and the answer.
  EXPECT_GE(gap, std::chrono::milliseconds(290));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, WithoutTrueSpeedAnswersComeAtOnce) {
  theApp.m_truePlayback = false;
  // An hour between write and answer in the recording.
  open("<<TX\t00:00:01.000\t2\t01 02 \n>>RX\t01:00:01.000\t3\t0a 0b 0c \n");
  write({1, 2});
  EXPECT_THAT(zor_test::readBytes(*dev, 3, 3000), ElementsAre(0x0a, 0x0b, 0x0c));
}

TEST_F(PlaybackTest, ReceptionBeforeAnyWriteIsDueAtItsRecordedTime) {
  theApp.m_truePlayback = true;
  open(">>RX\t00:00:00.100\t1\t55 \n");
  EXPECT_THAT(zor_test::readBytes(*dev, 1, 3000), ElementsAre(0x55));
}

TEST_F(PlaybackTest, MismatchedWriteIsAPlaybackErrorAndConsumesTheScript) {
  theApp.m_truePlayback = false;
  open(kExchange);
  write({1, 3});
  ASSERT_TRUE(zor_test::waitUntil([&] { return !ofKind(log, LOG_PLAYBACK_ERROR).empty(); }, 3000));
  EXPECT_THAT(ofKind(log, LOG_PLAYBACK_ERROR)[0].data, ElementsAre(1, 3));
  EXPECT_TRUE(staysSilent());
  // The script is used up: even the recorded bytes are an error now.
  write({1, 2});
  ASSERT_TRUE(zor_test::waitUntil([&] { return ofKind(log, LOG_PLAYBACK_ERROR).size() == 2; }, 3000));
  EXPECT_TRUE(staysSilent(50));
}

TEST_F(PlaybackTest, MonitorShowsPlaybackErrors) {
  theApp.m_truePlayback = false;
  open(kExchange);
  dev->ShowMonitor();
  write({1, 3});
  CMonitorDlg* mon = dev->Monitor();
  ASSERT_TRUE(zor_test::waitUntil([&] { return mon->LineCount() >= 2; }, 3000));
  MonitorLine tx, err;
  ASSERT_TRUE(mon->GetLine(0, tx));
  ASSERT_TRUE(mon->GetLine(1, err));
  EXPECT_EQ(tx.lineKind, 0);
  EXPECT_EQ(err.lineKind, 9);
  EXPECT_EQ(err.size, "2");
}

TEST_F(PlaybackTest, WildcardsMatchAnyByteAndReopenReplaysFromTheStart) {
  theApp.m_truePlayback = false;
  open("<<TX\t00:00:01.000\t3\t01 ?? 03 \n>>RX\t00:00:01.010\t1\t55 \n");
  write({1, 0, 3});
  EXPECT_THAT(zor_test::readBytes(*dev, 1, 3000), ElementsAre(0x55));
  ASSERT_TRUE(dev->CloseDevice());
  ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
  write({1, 0xff, 3});
  EXPECT_THAT(zor_test::readBytes(*dev, 1, 3000), ElementsAre(0x55));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, ReceptionsWithin5msJoinAndAt6msStaySeparate) {
  theApp.m_truePlayback = false;
  open(">>RX\t00:00:01.000\t2\t01 02 \n>>RX\t00:00:01.005\t1\t03 \n>>RX\t00:00:01.011\t1\t04 \n");
  EXPECT_THAT(zor_test::readBytes(*dev, 4, 3000), ElementsAre(1, 2, 3, 4));
  auto rx = ofKind(log, LOG_RX);
  ASSERT_EQ(rx.size(), 2u);  // each read delivers one element only
  EXPECT_THAT(rx[0].data, ElementsAre(1, 2, 3));
  EXPECT_THAT(rx[1].data, ElementsAre(4));
}

TEST_F(PlaybackTest, ReceptionAfterATransmissionIsNeverJoined) {
  theApp.m_truePlayback = false;
  open("<<TX\t00:00:01.000\t1\t01 \n>>RX\t00:00:01.001\t1\t02 \n>>RX\t00:00:01.020\t1\t03 \n");
  EXPECT_TRUE(staysSilent(50));
  write({1});
  EXPECT_THAT(zor_test::readBytes(*dev, 2, 3000), ElementsAre(2, 3));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, WritesAreComparedAsTheUnitTheTxThreadPasses) {
  theApp.m_truePlayback = false;
  // One write of four bytes matches a four-byte row ...
  open("<<TX\t00:00:01.000\t4\t01 02 03 04 \n>>RX\t00:00:01.010\t1\t55 \n");
  write({1, 2, 3, 4});
  EXPECT_THAT(zor_test::readBytes(*dev, 1, 3000), ElementsAre(0x55));
  dev.reset();
  // ... and not two rows of two.
  open("<<TX\t00:00:01.000\t2\t01 02 \n<<TX\t00:00:01.001\t2\t03 04 \n>>RX\t00:00:01.010\t1\t55 \n");
  write({1, 2, 3, 4});
  ASSERT_TRUE(zor_test::waitUntil([&] { return !ofKind(log, LOG_PLAYBACK_ERROR).empty(); }, 3000));
  EXPECT_TRUE(staysSilent(50));
}

TEST_F(PlaybackTest, OtherRowsAndForeignLinesAreSkipped) {
  theApp.m_truePlayback = false;
  open(
      "zor traffic log\n\n+Evn\t00:00:00.500\t\tXON received\n^Snd\t00:00:00.600\t1\t09 \n"
      "#Rcv\t00:00:00.700\t1\t08 \nPbEr\t00:00:00.800\t1\t07 \n\t...\t\t07 \n" +
      kExchange);
  write({1, 2});
  EXPECT_THAT(zor_test::readBytes(*dev, 3, 3000), ElementsAre(0x0a, 0x0b, 0x0c));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, EmptyScriptOpensAndNeverDelivers) {
  theApp.m_truePlayback = false;
  open("+Evn\t00:00:00.500\t\tXON received\r\n");
  EXPECT_TRUE(staysSilent(50));
  write({7});
  ASSERT_TRUE(zor_test::waitUntil([&] { return !ofKind(log, LOG_PLAYBACK_ERROR).empty(); }, 3000));
  EXPECT_TRUE(staysSilent(20));
}

TEST_F(PlaybackTest, LongReceptionArrivesInReadsOfAtMost1024) {
  theApp.m_truePlayback = false;
  Bytes all;
  std::string text = ">>RX\t00:00:01.000\t2500";
  // One record of 2500 bytes written the monitor's way: 64 bytes a row.
  for (std::size_t i = 0; i < 2500; i += 64) {
    Bytes chunk;
    for (std::size_t j = i; j < std::min<std::size_t>(i + 64, 2500); ++j)
      chunk.push_back(static_cast<unsigned char>(j * 7));
    all.insert(all.end(), chunk.begin(), chunk.end());
    text = i == 0 ? hexRow(">>RX", "00:00:01.000", 2500, chunk) : text + hexRow(">>..", "...", 0, chunk);
  }
  open(text);
  EXPECT_EQ(zor_test::readBytes(*dev, all.size(), 3000), all);
  auto rx = ofKind(log, LOG_RX);
  ASSERT_EQ(rx.size(), 3u);
  for (auto& r : rx) EXPECT_LE(r.size, 1024u);
}

class PlaybackOpenTest : public PlaybackTest {
protected:
  // Opening fails with one line on standard error that names the file and, with a row, the row.
  void expectRefused(const std::string& text, const std::string& why, int row = 0) {
    writeText(path, text);
    expectRefusedPath(path, why, row);
  }
  void expectRefusedPath(const std::string& file, const std::string& why, int row = 0) {
    CDevPlayback pb(file.c_str());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(pb.OpenDevice(0, 4096, 4096));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(pb.IsDeviceOpen());
    EXPECT_THAT(err, HasSubstr(file));
    if (row) {
      EXPECT_THAT(err, HasSubstr("row " + std::to_string(row) + ":"));
    }
    EXPECT_THAT(err, HasSubstr(why));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
};

TEST_F(PlaybackOpenTest, RefusesSizesTheDataDoesNotHold) {
  expectRefused("<<TX\t00:00:01.000\t3\t01 02 \n", "holds only 2", 1);
  expectRefused("+Evn\t00:00:00.000\t\tx\n>>RX\t00:00:01.000\t4000000000\t01 02 \n>>..\t...\t\t03 \n",
                "record of 4000000000 bytes", 2);
  expectRefused("<<TX\t00:00:01.000\t99999999999\t01\n", "not a byte count", 1);
  // A continuation row that brings more than its record misses, or none to continue.
  expectRefused("<<TX\t00:00:01.000\t2\t01 \n<<..\t...\t\t02 03 \n", "only misses 1", 2);
  expectRefused("<<..\t...\t\t02 03 \n", "without a record", 1);
  // The record must be complete before the next row.
  expectRefused("<<TX\t00:00:01.000\t2\t01 \n>>RX\t00:00:01.000\t1\t01 \n", "holds only 1", 1);
}

TEST_F(PlaybackOpenTest, RefusesTimesAndBytesThatAreNotSo) {
  expectRefused("<<TX\t1 second\t1\t01 \n", "not a time", 1);
  expectRefused("<<TX\t00:61:00.000\t1\t01 \n", "not a time", 1);
  expectRefused(">>RX\t00:00:00.000\t2\t065 066 \n", "hexadecimal", 1);
  expectRefused(">>RX\t00:00:00.000\t2\tx1 y2\n", "hexadecimal", 1);
  expectRefused(">>RX\t00:00:00.000\t2\t0102\n", "hexadecimal", 1);
  expectRefused(std::string("<\x01\xff\x00garbage\t\x80\n", 13), "not a time", 1);
}

TEST_F(PlaybackOpenTest, RefusesWhatIsNotALogFile) {
  expectRefusedPath(env.path("missing.txt"), "no such file");
  std::filesystem::create_directory(env.path("dir"));
  expectRefusedPath(env.path("dir"), "directory");
  CDevPlayback unnamed;
  EXPECT_FALSE(unnamed.OpenDevice(0, 4096, 4096));
}

TEST_F(PlaybackOpenTest, AcceptsLongHoursLfAndCrLf) {
  theApp.m_truePlayback = false;
  // More than 99 hours, LF only; and a record whose size is less than its fields.
  open("<<TX\t100:00:00.000\t1\t01 02\n>>RX\t100:00:00.001\t1\tAb\n");
  write({1});
  EXPECT_THAT(zor_test::readBytes(*dev, 1, 3000), ElementsAre(0xab));
}

TEST_F(PlaybackOpenTest, HundredMegabytesOfBinaryLinesOpenAsAnEmptyScript) {
  {
    std::ofstream out(path, std::ios::binary);
    std::string block(1024, '\0');
    block[100] = '\t';
    block.back() = '\n';
    for (int i = 0; i < 100 * 1024; ++i) out << block;
  }
  CDevPlayback pb(path.c_str());
  EXPECT_TRUE(pb.OpenDevice(0, 4096, 4096));
}

TEST_F(PlaybackOpenTest, FileHeldByALoggingMonitorIsNotOpened) {
  CDevNull recorder;
  recorder.Monitor()->ToggleLogFile(path.c_str());
  ASSERT_TRUE(recorder.Monitor()->IsLogToFile());
  expectRefusedPath(path, "logging to it");
}

// The reader on its own: what it makes of rows the monitor writes.
TEST(TrafficLogReader, ContinuationRowsCompleteTheirRecord) {
  PlaybackScript script;
  TrafficLogReader reader(script);
  EXPECT_TRUE(reader.addLine("<<TX\t00:00:02.000\t5\t01 02 03"));
  EXPECT_TRUE(reader.addLine("<<..\t...\t\t04 ??\r"));
  EXPECT_TRUE(reader.addLine(">>RX\t00:00:02.001\t1\t05"));
  EXPECT_TRUE(reader.finish());
  ASSERT_EQ(script.size(), 2u);
  const ELEMENT& tx = script.front();
  EXPECT_TRUE(tx.tx);
  EXPECT_EQ(tx.time, 2000u);
  ASSERT_EQ(tx.size, 5u);
  EXPECT_EQ(tx.data[3].value, 4);
  EXPECT_TRUE(tx.data[4].wildcard);
  EXPECT_FALSE(script.back().tx);
}

TEST(TrafficLogReader, ErrorNamesTheFirstBadRow) {
  PlaybackScript script;
  TrafficLogReader reader(script);
  EXPECT_TRUE(reader.addLine("<<TX\t00:00:02.000\t1\t01"));
  EXPECT_FALSE(reader.addLine(">>RX\t00:00:02.000\t1\tzz"));
  EXPECT_FALSE(reader.addLine(">>RX\tbad"));
  EXPECT_FALSE(reader.finish());
  EXPECT_THAT(reader.error(), ::testing::StartsWith("row 2: data \"zz\""));
}

// A loopback session logged in the hexadecimal view and replayed: the same
// writes get the same answers.
TEST_F(PlaybackTest, LoopbackSessionReplaysFromItsLog) {
  theApp.m_truePlayback = false;
  const std::vector<Bytes> writes = {{'h', 'i'}, Bytes(200, 0x5a), {0, 1, 2, 0xff}};
  std::vector<Bytes> answers;
  {
    CDevNull loop;
    loop.ShowMonitor();
    loop.Monitor()->SetView(MONITOR_VIEW_HEX);
    loop.Monitor()->ToggleLogFile(path.c_str());
    ASSERT_TRUE(loop.Monitor()->IsLogToFile());
    loop.Loopback(true);
    ASSERT_TRUE(loop.OpenDevice(0, 4096, 4096));
    for (const Bytes& w : writes) {
      ASSERT_TRUE(loop.WriteBuffer(w.data(), w.size()));
      answers.push_back(zor_test::readBytes(loop, w.size(), 3000));
      ASSERT_EQ(answers.back(), w);
    }
    loop.CloseDevice();
    loop.Monitor()->ToggleLogFile(nullptr);
  }
  dev = std::make_unique<CDevPlayback>(path.c_str());
  log.attach(*dev);
  ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
  for (std::size_t i = 0; i < writes.size(); ++i) {
    write(writes[i]);
    EXPECT_EQ(zor_test::readBytes(*dev, answers[i].size(), 3000), answers[i]) << "exchange " << i;
  }
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

}  // namespace
}  // namespace zor
