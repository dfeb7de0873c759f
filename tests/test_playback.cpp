// The playback device: the traffic log read back as a script, receptions
// delivered as they fall due, transmissions matched against writes, bad logs
// refused with one clear line; and a loopback session replayed from its log.
#include "support/process.h"
#include "support/recorder.h"

#include <zor/zor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace zor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zor_test::readBytes;
using zor_test::waitUntil;
using zortest::writeText;
using Bytes = std::vector<unsigned char>;

std::vector<zor_test::LogRecord> ofKind(const zor_test::LogRecorder& log, int kind) {
  std::vector<zor_test::LogRecord> out;
  for (auto& r : log.records())
    if (r.kind == kind) out.push_back(r);
  return out;
}

class PlaybackTest : public ::testing::Test {
protected:
  void SetUp() override { settings->m_truePlayback = false; }
  // Writes the log and opens a playback device on it, its records going to `log`.
  void open(const std::string& text) {
    writeText(path, text);
    dev = std::make_unique<CDevPlayback>(path.c_str());
    log.attach(*dev);
    ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
  }
  void write(const Bytes& bytes) { ASSERT_TRUE(dev->WriteBuffer(bytes.data(), bytes.size())); }
  // Writes the stream cut as sizes says, each piece a transfer of its own:
  // the next is queued only once the transmit thread took the one before.
  void writeInPieces(const Bytes& stream, const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t n : sizes) {
      const unsigned long long seen = dev->TxTakenCount();
      ASSERT_TRUE(dev->WriteBuffer(stream.data() + at, n));
      ASSERT_TRUE(dev->WaitTxTaken(seen, 3000));
      at += n;
    }
    ASSERT_EQ(at, stream.size());
  }
  // Nothing is received for a while (used only where nothing may ever come).
  bool staysSilent(unsigned ms = 100) {
    return WaitForSingleObject(dev->DataReadyEvent(), ms) == WAIT_TIMEOUT && !dev->RXQueue();
  }
  bool errors(std::size_t n) {
    return waitUntil([&] { return ofKind(log, LOG_PLAYBACK_ERROR).size() >= n; }, 3000);
  }
  void TearDown() override { dev.reset(); }

  zor_test::TestEnv env;
  zor_test::SettingsScope settings;
  std::string path = env.path("log.txt");
  zor_test::LogRecorder log;
  std::unique_ptr<CDevPlayback> dev;
};

const std::string kExchange = "<<TX\t00:00:01.000\t2\t01 02 \r\n>>RX\t00:00:01.300\t3\t0a 0b 0c \r\n";

TEST_F(PlaybackTest, ReceptionsComeAtTheirTimeAndAnswersWaitForTheirWriteUnlessAtFullSpeed) {
  settings->m_truePlayback = true;
  open(">>RX\t00:00:00.100\t1\t55 \n" + kExchange);
  EXPECT_THAT(readBytes(*dev, 1, 3000), ElementsAre(0x55));
  EXPECT_TRUE(staysSilent(150)) << "the script waits for the write";
  auto written = std::chrono::steady_clock::now();
  write({1, 2});
  EXPECT_THAT(readBytes(*dev, 3, 3000), ElementsAre(0x0a, 0x0b, 0x0c));
  // Never early: the recording put 300 ms between the write and the answer.
  EXPECT_GE(std::chrono::steady_clock::now() - written, std::chrono::milliseconds(290));

  // Not at true speed, an answer an hour after its write in the recording comes at once.
  settings->m_truePlayback = false;
  dev.reset();
  open("<<TX\t00:00:01.000\t2\t01 02 \n>>RX\t01:00:01.000\t3\t0a 0b 0c \n");
  write({1, 2});
  EXPECT_THAT(readBytes(*dev, 3, 3000), ElementsAre(0x0a, 0x0b, 0x0c));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, AByteTheRowDidNotExpectIsOnePlaybackErrorAndThePlayEndsThere) {
  open(kExchange);
  ::testing::internal::CaptureStderr();
  write({1, 3});
  ASSERT_TRUE(errors(1));
  EXPECT_THAT(ofKind(log, LOG_PLAYBACK_ERROR)[0].data, ElementsAre(1, 3));
  EXPECT_TRUE(staysSilent());
  // The script is used up: even the recorded bytes are an error now.
  write({1, 2});
  ASSERT_TRUE(errors(2));
  EXPECT_TRUE(staysSilent(50));
  EXPECT_EQ(ofKind(log, LOG_PLAYBACK_ERROR).size(), 2u);
  // Standard error hears once what was expected and what came.
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("log.txt: row 1: byte 2 of 2 written was expected as 02, came as 03"));
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

  // A row broken in its second write: the record holds what came against it
  // from its first byte, and the answer recorded before it still comes (the
  // application wrote ahead of it), paced as recorded.
  settings->m_truePlayback = true;
  ::testing::internal::CaptureStderr();
  open(
      "<<TX\t00:00:01.000\t2\t01 02 \n>>RX\t00:00:01.100\t1\taa \n<<TX\t00:00:01.101\t4\t03 ?? 05 06 \n"
      ">>RX\t00:00:01.102\t1\tbb \n");
  writeInPieces({1, 2, 3, 4, 9, 7}, {3, 3});
  ASSERT_TRUE(errors(3));
  EXPECT_THAT(ofKind(log, LOG_PLAYBACK_ERROR)[2].data, ElementsAre(3, 4, 9, 7));
  EXPECT_THAT(readBytes(*dev, 1, 3000), ElementsAre(0xaa));
  EXPECT_TRUE(staysSilent(150));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("row 3: byte 3 of 4"));
}

// Rows: A 5 bytes, answer; B 3 bytes with a wildcard, answer; C 70 bytes over
// two rows with a wildcard, answer; D 1 and E 2 bytes, one answer.
std::string rowsLog() {
  std::string c;
  for (int i = 0; i < 64; ++i) c += "5a ";
  return "<<TX\t00:00:01.000\t5\t01 02 03 04 05 \n>>RX\t00:00:01.010\t1\ta1 \n"
         "<<TX\t00:00:01.020\t3\t06 ?? 08 \n>>RX\t00:00:01.030\t2\tb1 b2 \n"
         "<<TX\t00:00:01.040\t70\t" +
         c + "\n<<..\t...\t\t5a 5a ?? 5a 5a 5a \n>>RX\t00:00:01.050\t1\tc1 \n" +
         "<<TX\t00:00:01.060\t1\t09 \n<<TX\t00:00:01.061\t2\t0a 0b \n>>RX\t00:00:01.070\t3\td1 d2 d3 \n";
}

TEST_F(PlaybackTest, WritesAreMatchedAsOneStreamHoweverTheyAreCut) {
  std::mt19937 random(22);
  Bytes stream = {1, 2, 3, 4, 5, 6, 0, 8};
  stream.resize(8 + 70, 0x5a);
  stream.insert(stream.end(), {9, 10, 11});
  const Bytes answers = {0xa1, 0xb1, 0xb2, 0xc1, 0xd1, 0xd2, 0xd3};
  using Cut = std::vector<std::size_t>;
  std::vector<Cut> cuts = {Cut(stream.size(), 1),  // a byte at a time
                           {5, 3, 70, 1, 2},       // as the rows
                           {7, 72, 2},             // across rows, a wildcard last in a piece
                           {stream.size()}};       // all at once
  for (int round = 0; round < 20; ++round) {
    Cut cut;
    for (std::size_t left = stream.size(); left > 0; left -= cut.back())
      cut.push_back(std::min<std::size_t>(left, 1 + random() % 30));
    cuts.push_back(cut);
  }
  open(rowsLog());
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(::testing::PrintToString(cut));
    const bool first = &cut == &cuts.front();
    if (!first) {
      ASSERT_TRUE(dev->CloseDevice());
      ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
    }
    stream[6] = static_cast<unsigned char>(random());  // the wildcards match any byte
    stream[8 + 66] = static_cast<unsigned char>(random());
    const std::size_t sent = ofKind(log, LOG_TX).size();
    if (first) {
      // An answer waits for the last byte of its row.
      writeInPieces(Bytes(stream.begin(), stream.begin() + 4), Cut(4, 1));
      EXPECT_TRUE(staysSilent());
      writeInPieces(Bytes(stream.begin() + 4, stream.end()), Cut(stream.size() - 4, 1));
    } else {
      writeInPieces(stream, cut);
    }
    EXPECT_EQ(readBytes(*dev, answers.size(), 3000), answers);
    // The device saw the pieces meant.
    const auto tx = ofKind(log, LOG_TX);
    ASSERT_EQ(tx.size() - sent, cut.size());
    for (std::size_t i = 0; i < cut.size(); ++i) EXPECT_EQ(tx[sent + i].size, cut[i]);
  }
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

TEST_F(PlaybackTest, ReadsWhatTheMonitorWritesSkipsTheRestAndReplaysFromTheStartWhenReopened) {
  // Receptions within 5 ms join, at 6 ms or after a transmission they do not;
  // rows of no direction are skipped; a wildcard (here in a continuation row)
  // matches any byte; a record may name fewer bytes than its row holds; hours
  // go past 99; lines end in LF or CR LF.
  open(
      ">>RX\t00:00:00.900\t2\t01 02 \n>>RX\t00:00:00.905\t1\t03 \n>>RX\t00:00:00.911\t1\t04 \n"
      "zor traffic log\n\n+Evn\t00:00:00.500\t\tXON received\n^Snd\t00:00:00.600\t1\t09 \n"
      "#Rcv\t00:00:00.700\t1\t08 \nPbEr\t00:00:00.800\t1\t07 \n\t...\t\t07 \n" +
      kExchange +
      "<<TX\t00:00:02.000\t3\t01 \n<<..\t...\t\t?? 03\r\n>>RX\t00:00:02.001\t1\t55 \n"
      "<<TX\t100:00:00.000\t1\t01 02\n>>RX\t100:00:00.001\t1\tAb\n");
  for (unsigned char any : {0x00, 0xff}) {
    if (any) {
      ASSERT_TRUE(dev->CloseDevice());
      ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
    }
    EXPECT_THAT(readBytes(*dev, 4, 3000), ElementsAre(1, 2, 3, 4));
    write({1, 2});
    EXPECT_THAT(readBytes(*dev, 3, 3000), ElementsAre(0x0a, 0x0b, 0x0c));
    write({1, any, 3});
    EXPECT_THAT(readBytes(*dev, 1, 3000), ElementsAre(0x55));
    write({1});
    EXPECT_THAT(readBytes(*dev, 1, 3000), ElementsAre(0xab));
  }
  auto rx = ofKind(log, LOG_RX);
  ASSERT_EQ(rx.size(), 10u);  // each read delivers one element only
  EXPECT_THAT(rx[0].data, ElementsAre(1, 2, 3));
  EXPECT_THAT(rx[1].data, ElementsAre(4));
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

// Opening fails with one line on standard error that names the file and, with a row, the row.
void expectRefused(const std::string& file, const std::string& why, int row = 0) {
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

TEST_F(PlaybackTest, RefusesALogWithABadRowAndNamesTheRow) {
  const struct {
    std::string text, why;
    int row;
  } cases[] = {
      {"<<TX\t00:00:01.000\t3\t01 02 \n", "holds only 2", 1},
      {"+Evn\t00:00:00.000\t\tx\n>>RX\t00:00:01.000\t4000000000\t01 02 \n>>..\t...\t\t03 \n",
       "record of 4000000000 bytes", 2},
      {"<<TX\t00:00:01.000\t99999999999\t01\n", "not a byte count", 1},
      // A continuation row that brings more than its record misses, or none to continue.
      {"<<TX\t00:00:01.000\t2\t01 \n<<..\t...\t\t02 03 \n", "only misses 1", 2},
      {"<<..\t...\t\t02 03 \n", "without a record", 1},
      // The record must be complete before the next row.
      {"<<TX\t00:00:01.000\t2\t01 \n>>RX\t00:00:01.000\t1\t01 \n", "holds only 1", 1},
      {"<<TX\t1 second\t1\t01 \n>>RX\tbad\n", "not a time", 1},
      {"<<TX\t00:61:00.000\t1\t01 \n", "not a time", 1},
      {">>RX\t00:00:00.000\t2\t065 066 \n", "hexadecimal", 1},
      {">>RX\t00:00:00.000\t2\tx1 y2\n", "hexadecimal", 1},
      {"<<TX\t00:00:02.000\t1\t01\n>>RX\t00:00:00.000\t2\t0102\n>>RX\tbad\n", "hexadecimal", 2},
      {std::string("<\x01\xff\x00garbage\t\x80\n", 13), "not a time", 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    writeText(path, c.text);
    expectRefused(path, c.why, c.row);
  }
}

TEST_F(PlaybackTest, RefusesWhatIsNotALogFile) {
  expectRefused(env.path("missing.txt"), "no such file");
  std::filesystem::create_directory(env.path("dir"));
  expectRefused(env.path("dir"), "directory");
  EXPECT_FALSE(CDevPlayback().OpenDevice(0, 4096, 4096)) << "no file name";
  CDevNull recorder;
  recorder.Monitor()->ToggleLogFile(path.c_str());
  ASSERT_TRUE(recorder.Monitor()->IsLogToFile());
  expectRefused(path, "logging to it");
  // Only a regular file is read: a FIFO without a writer must not block the open.
  ASSERT_EQ(mkfifo(env.path("fifo").c_str(), 0600), 0);
  expectRefused(env.path("fifo"), "a FIFO");
  expectRefused("/dev/zero", "a character device");
}

TEST_F(PlaybackTest, FilesWithoutRowsOrWithARunawayLineAreRefusedAndAByteOrderMarkIsSkipped) {
  writeText(path, "");
  expectRefused(path, "no rows");
  expectRefused("/etc/passwd", "no rows");
  {
    std::string block(1024, '\0');
    block[100] = '\t';
    block.back() = '\n';
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 1024; ++i) out << block;
  }
  expectRefused(path, "no rows");
  // 200 MB without a line end (sparse, so the disk is spared): read no further than the bound.
  writeText(path, ">>RX\t00:00:00.000\t1\t55 \n");
  std::filesystem::resize_file(path, 200u << 20);
  expectRefused(path, "longer than 16 MiB", 2);

  open("\xEF\xBB\xBF>>RX\t00:00:00.000\t1\t55 \n>>RX\t00:00:00.100\t1\t66 \n");
  EXPECT_THAT(readBytes(*dev, 2, 3000), ElementsAre(0x55, 0x66));
}

// A loopback session logged in the hexadecimal view and replayed: the same
// writes get the same answers.
TEST_F(PlaybackTest, LoopbackSessionReplaysFromItsLog) {
  const std::vector<Bytes> writes = {{'h', 'i'}, Bytes(200, 0x5a), {0, 1, 2, 0xff}};
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
      ASSERT_EQ(readBytes(loop, w.size(), 3000), w);
    }
    loop.CloseDevice();
    loop.Monitor()->ToggleLogFile(nullptr);
  }
  dev = std::make_unique<CDevPlayback>(path.c_str());
  log.attach(*dev);
  ASSERT_TRUE(dev->OpenDevice(0, 4096, 4096));
  for (std::size_t i = 0; i < writes.size(); ++i) {
    write(writes[i]);
    EXPECT_EQ(readBytes(*dev, writes[i].size(), 3000), writes[i]) << "exchange " << i;
  }
  EXPECT_TRUE(ofKind(log, LOG_PLAYBACK_ERROR).empty());
}

}  // namespace
}  // namespace zor
