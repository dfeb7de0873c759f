// The traffic monitor: lines as the record store, the debugger output and the
// traffic log file get them; filters, counters, pause; options in the
// settings store; automatic logging and the exclusive log file.
#include "support/process.h"
#include "support/recorder.h"

#include "zor/support/support.h"

#include <zor/zor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace zor {
namespace {

using ::testing::MatchesRegex;
using zor_test::TestEnv;
using zortest::readText;

const char* const kTime = "[0-9][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9][0-9][0-9]";

std::vector<unsigned char> sequence(std::size_t n, unsigned start = 0) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(start + i);
  return v;
}

std::string hex(const std::vector<unsigned char>& v, std::size_t from, std::size_t n) {
  std::string s;
  char buf[4];
  for (std::size_t i = from; i < from + n; ++i) {
    std::snprintf(buf, sizeof buf, "%.2x ", v[i]);
    s += buf;
  }
  return s;
}

// Splits the file at CR LF; fails on a bare LF.
std::vector<std::string> crlfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last CR LF: " << text.substr(pos);
      break;
    }
    std::string line = text.substr(pos, end - pos);
    EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in " << line;
    lines.push_back(line);
    pos = end + 2;
  }
  return lines;
}

TEST(MonitorFormat, TimestampsCountHoursBeyondADay) {
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(0), "00:00:00.000");
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(3723004), "01:02:03.004");
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(360000000), "100:00:00.000");
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(86399999), "23:59:59.999");
}

class MonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    dev = std::make_unique<CDevNull>();
    mon = dev->Monitor();
    ASSERT_NE(mon, nullptr);
  }
  void TearDown() override { dev.reset(); }

  void record(int kind, const std::vector<unsigned char>& bytes) {
    CMonitorDlg::LogCallback(reinterpret_cast<long>(mon), kind, bytes.data(), bytes.size());
  }
  void event(unsigned id) { CMonitorDlg::LogCallback(reinterpret_cast<long>(mon), LOG_EVENT, nullptr, id); }
  MonitorLine line(int i) {
    MonitorLine l;
    EXPECT_TRUE(mon->GetLine(i, l)) << "no line " << i;
    return l;
  }
  // Starts logging this monitor to a fresh file.
  std::string logToFile(const char* name = "traffic.txt") {
    std::string path = env.path(name);
    mon->ToggleLogFile(path.c_str());
    EXPECT_TRUE(mon->IsLogToFile());
    return path;
  }

  TestEnv env;
  std::unique_ptr<CDevNull> dev;
  CMonitorDlg* mon = nullptr;
};

TEST_F(MonitorTest, RecordOf150BytesInHexGivesThreeLines) {
  std::string path = logToFile();
  mon->SetView(MONITOR_VIEW_HEX);
  auto bytes = sequence(150, 200);
  record(LOG_TX, bytes);

  ASSERT_EQ(mon->LineCount(), 3);
  MonitorLine first = line(0), second = line(1), third = line(2);
  EXPECT_EQ(first.lineKind, 0);
  EXPECT_THAT(first.time, MatchesRegex(kTime));
  EXPECT_EQ(first.size, "150");
  EXPECT_EQ(first.data, hex(bytes, 0, 64));
  EXPECT_EQ(second.lineKind, 1);
  EXPECT_EQ(second.time, "...");
  EXPECT_EQ(second.size, "");
  EXPECT_EQ(second.data, hex(bytes, 64, 64));
  EXPECT_EQ(third.lineKind, 1);
  EXPECT_EQ(third.data, hex(bytes, 128, 22));
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
  EXPECT_EQ(mon->BytesTransmitted(), 150u);
  EXPECT_EQ(mon->BytesReceived(), 0u);

  auto lines = crlfLines(readText(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "<<TX\t" + first.time + "\t150\t" + hex(bytes, 0, 64));
  EXPECT_EQ(lines[1], "<<..\t...\t\t" + hex(bytes, 64, 64));
  EXPECT_EQ(lines[2], "<<..\t...\t\t" + hex(bytes, 128, 22));
}

TEST_F(MonitorTest, SixtyFourBytesMakeOneLineAndSixtyFiveTwo) {
  std::string path = logToFile();
  mon->SetView(MONITOR_VIEW_HEX);
  record(LOG_RX, sequence(64));
  ASSERT_EQ(mon->LineCount(), 1);
  EXPECT_EQ(line(0).lineKind, 2);
  EXPECT_EQ(line(0).data, hex(sequence(64), 0, 64));

  record(LOG_RX, sequence(65, 7));
  ASSERT_EQ(mon->LineCount(), 3);
  EXPECT_EQ(line(1).size, "65");
  EXPECT_EQ(line(2).lineKind, 3);
  EXPECT_EQ(line(2).data, "47 ");  // 7 + 64
  EXPECT_EQ(mon->BytesReceived(), 129u);
  EXPECT_EQ(mon->RecordsProcessed(), 2u);
  auto lines = crlfLines(readText(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], ">>..\t...\t\t47 ");
}

TEST_F(MonitorTest, ViewsRenderDecimalHexAndAscii) {
  std::string path = logToFile();
  std::vector<unsigned char> bytes = {7, 255, 0};
  record(LOG_TX, bytes);  // decimal is the default view
  mon->SetView(MONITOR_VIEW_HEX);
  record(LOG_TX, bytes);
  mon->SetView(MONITOR_VIEW_ASCII);
  record(LOG_TX, {'A', 0, '\r', '\n', 'B'});
  ASSERT_EQ(mon->LineCount(), 3);
  EXPECT_EQ(line(0).data, "007 255 000 ");
  EXPECT_EQ(line(1).data, "07 ff 00 ");
  EXPECT_EQ(line(2).data, "A\r\nB");  // the zero byte adds nothing
  // On disk the control bytes break the line as they come.
  std::string text = readText(path);
  EXPECT_THAT(text.substr(text.rfind("<<TX")),
              MatchesRegex(std::string("<<TX\t") + kTime + "\t5\tA\r\r\nB\r\n"));
}

TEST_F(MonitorTest, EventLineHasEmptySizeAndTheEventText) {
  std::string path = logToFile();
  event(IDS_XON_RECEIVED);
  ASSERT_EQ(mon->LineCount(), 1);
  EXPECT_EQ(line(0).lineKind, 4);
  EXPECT_EQ(line(0).size, "");
  EXPECT_EQ(line(0).data, "XON received");
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
  EXPECT_EQ(mon->BytesReceived() + mon->BytesTransmitted(), 0u);
  EXPECT_THAT(readText(path), MatchesRegex(std::string("\\+Evn\t") + kTime + "\t\tXON received\r\n"));
}

TEST_F(MonitorTest, EveryKindHasItsTags) {
  std::string path = logToFile();
  mon->SetView(MONITOR_VIEW_HEX);
  for (int kind : {LOG_SERVER_SENT, LOG_SERVER_RCV, LOG_PLAYBACK_ERROR}) record(kind, sequence(70));
  auto lines = crlfLines(readText(path));
  ASSERT_EQ(lines.size(), 6u);
  const char* tags[] = {"^Snd\t", "^...\t", "#Rcv\t", "#...\t", "PbEr\t", "\t..."};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(lines[i].rfind(tags[i], 0), 0u) << lines[i];
  EXPECT_EQ(line(5).lineKind, 10);
  // Relayed bytes and playback errors are records but not device traffic.
  EXPECT_EQ(mon->RecordsProcessed(), 3u);
  EXPECT_EQ(mon->BytesReceived() + mon->BytesTransmitted(), 0u);
}

TEST_F(MonitorTest, SizeZeroRecordsVanishAndFiltersDropAndDoNotCount) {
  std::string path = logToFile();
  record(LOG_TX, {});
  event(0);
  mon->ToggleFilterRX();
  mon->ToggleFilterTX();
  mon->ToggleFilterSent();
  mon->ToggleFilterRcv();
  for (int kind : {LOG_TX, LOG_RX, LOG_SERVER_SENT, LOG_SERVER_RCV}) record(kind, sequence(3));
  EXPECT_EQ(mon->LineCount(), 0);
  EXPECT_EQ(mon->RecordsProcessed(), 0u);
  EXPECT_EQ(mon->BytesReceived() + mon->BytesTransmitted(), 0u);
  EXPECT_EQ(readText(path), "");

  // Events and playback errors pass every filter; the RX filter alone leaves TX.
  event(IDS_RX_OVERRUN);
  record(LOG_PLAYBACK_ERROR, {1});
  mon->ToggleFilterTX();
  record(LOG_TX, {1, 2});
  record(LOG_RX, {1, 2, 3});
  EXPECT_EQ(mon->LineCount(), 3);
  EXPECT_EQ(mon->RecordsProcessed(), 3u);
  EXPECT_EQ(mon->BytesTransmitted(), 2u);
  EXPECT_EQ(mon->BytesReceived(), 0u);
}

TEST_F(MonitorTest, PauseStopsListingButNotCountingDebuggerOrFile) {
  std::string path = logToFile();
  mon->ToggleExternalDebugger();
  mon->TogglePause();
  ASSERT_TRUE(mon->IsPaused());
  mon->SetView(MONITOR_VIEW_HEX);
  ::testing::internal::CaptureStderr();
  record(LOG_RX, {0xab, 0xcd});
  std::string debugger = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(mon->LineCount(), 0);
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
  EXPECT_EQ(mon->BytesReceived(), 2u);
  EXPECT_THAT(debugger, MatchesRegex(std::string(">>RX\t") + kTime + "\t2\tab cd \n"));
  EXPECT_THAT(readText(path), MatchesRegex(std::string(">>RX\t") + kTime + "\t2\tab cd \r\n"));

  mon->TogglePause();
  mon->ToggleExternalDebugger();
  record(LOG_RX, {1});
  EXPECT_EQ(mon->LineCount(), 1);
}

TEST_F(MonitorTest, StoreGrowsPast900AndTellsItsTarget) {
  MessageQueue list;
  mon->SetListTarget(&list);
  EXPECT_EQ(mon->LineCapacity(), 900);
  for (int i = 0; i < 1000; ++i) record(LOG_TX, {static_cast<unsigned char>(i)});
  EXPECT_EQ(mon->LineCount(), 1000);
  EXPECT_EQ(mon->LineCapacity(), 1800);
  EXPECT_EQ(line(999).data, "231 ");  // 999 mod 256, decimal view
  mon->SetListTarget(nullptr);
  ASSERT_EQ(list.size(), 1000u);
  MSG msg;
  ASSERT_TRUE(list.get(msg, 0));
  EXPECT_EQ(msg.message, WM_FASTLIST_ADDED);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 0);

  mon->Clear();
  EXPECT_EQ(mon->LineCount(), 0);
  EXPECT_EQ(mon->LineCapacity(), 1800);
  EXPECT_EQ(mon->RecordsProcessed(), 0u);
  EXPECT_EQ(mon->BytesTransmitted(), 0u);
  record(LOG_TX, {9});
  EXPECT_EQ(line(0).data, "009 ");
}

TEST_F(MonitorTest, FailedWriteStopsFileLoggingAndSaysSo) {
  // /dev/full takes the open and the lock and refuses every write.
  mon->ToggleLogFile("/dev/full");
  if (!mon->IsLogToFile()) GTEST_SKIP() << "/dev/full not usable here";
  ::testing::internal::CaptureStderr();
  record(LOG_TX, {1, 2, 3});
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(mon->IsLogToFile());
  EXPECT_THAT(err, ::testing::HasSubstr("/dev/full"));
  EXPECT_EQ(mon->LineCount(), 1);  // the other sinks are unaffected
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
}

TEST_F(MonitorTest, TxThreadIndicatorPostsToTheWindowTarget) {
  MessageQueue window;
  mon->SetTxThreadIndicator(0, false);  // no window: nothing to tell
  mon->SetWindowTarget(&window);
  mon->SetTxThreadIndicator(0, false);
  mon->SetTxThreadIndicator(0, true);
  mon->SetTxThreadIndicator(1, true);
  mon->SetWindowTarget(nullptr);
  MSG msg;
  ASSERT_TRUE(window.get(msg, 0));
  EXPECT_EQ(msg.message, WM_MONITOR_TXTHREAD);
  EXPECT_EQ(msg.wParam, 0u);
  ASSERT_TRUE(window.get(msg, 0));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_FALSE(window.get(msg, 0));
}

TEST_F(MonitorTest, PauseOnExitDoesNotWaitWithoutAWindow) {
  theApp.m_pauseOnExit = true;
  EXPECT_FALSE(mon->Show());  // no window in this build
  dev->ShowMonitor();
  dev.reset();  // returns: there is no window the user could close
  SUCCEED();
}

int settingInt(unsigned key, int def = -1) {
  CIni ini;
  ini.UseSystemFile();
  return ini.GetProfileIntA(IDS_SECTION, key, def);
}

std::string settingString(unsigned key) {
  CIni ini;
  ini.UseSystemFile();
  return ini.GetProfileStringA(IDS_SECTION, key, "");
}

TEST_F(MonitorTest, OptionsRoundTripThroughTheSettingsStore) {
  mon->SetView(MONITOR_VIEW_ASCII);
  mon->ToggleFilterRX();
  mon->ToggleFilterSent();
  mon->TogglePauseOnExit();
  mon->ToggleShowMonitor();
  mon->ToggleExternalDebugger();
  mon->ToggleAlwaysOnTop();
  mon->ToggleTruePlayback();  // not a playback device: no effect
  theApp.m_showMonitor = false;
  theApp.m_pauseOnExit = false;

  EXPECT_EQ(settingInt(IDS_MONITOR_VIEW), 2);
  EXPECT_EQ(settingInt(IDS_MONITOR_FILTER_RX), 1);
  EXPECT_EQ(settingInt(IDS_MONITOR_FILTER_TX), 0);
  EXPECT_EQ(settingInt(IDS_MONITOR_FILTER_RCV), 0);
  EXPECT_EQ(settingInt(IDS_MONITOR_FILTER_SENT), 1);
  EXPECT_EQ(settingInt(IDS_PAUSE_ON_EXIT), 1);
  EXPECT_EQ(settingInt(IDS_SHOW_DEBUG_MONITOR), 1);
  EXPECT_EQ(settingInt(IDS_EXTERNAL_DEBUGGER), 1);
  EXPECT_EQ(settingInt(IDS_ALWAYS_ON_TOP), 1);
  EXPECT_EQ(settingInt(IDS_TRUE_PLAYBACK_SPEED), 1);

  // The monitor's own options come back with the next monitor.
  CDevNull other;
  EXPECT_TRUE(other.Monitor()->IsExternalDebugger());
  EXPECT_TRUE(other.Monitor()->IsAlwaysOnTop());
  other.Monitor()->ToggleExternalDebugger();
  EXPECT_EQ(settingInt(IDS_EXTERNAL_DEBUGGER), 0);
  CDevNull third;
  EXPECT_FALSE(third.Monitor()->IsExternalDebugger());

  // A playback monitor does toggle true speed.
  CDevPlayback pb;
  pb.Monitor()->ToggleTruePlayback();
  EXPECT_FALSE(theApp.m_truePlayback);
  EXPECT_EQ(settingInt(IDS_TRUE_PLAYBACK_SPEED), 0);
}

TEST_F(MonitorTest, AutoLogReopensAndTruncatesAtTheNextDevice) {
  mon->ToggleLogFile(nullptr);  // a cancelled file choice changes nothing
  EXPECT_FALSE(mon->IsLogToFile());
  EXPECT_EQ(settingString(IDS_LOG_FILENAME), "");
  std::string path = logToFile();
  EXPECT_EQ(settingString(IDS_LOG_FILENAME), path);
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 1);
  record(LOG_TX, {1, 2});
  dev.reset();
  EXPECT_NE(readText(path), "");

  dev = std::make_unique<CDevNull>();
  mon = dev->Monitor();
  EXPECT_TRUE(mon->IsLogToFile());
  EXPECT_EQ(readText(path), "");  // emptied at construction, before anything is shown
  record(LOG_RX, {3});
  EXPECT_THAT(readText(path), MatchesRegex(std::string(">>RX\t") + kTime + "\t1\t003 \r\n"));

  // Switching it off is remembered too.
  mon->ToggleLogFile(nullptr);
  EXPECT_FALSE(mon->IsLogToFile());
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 0);
  CDevNull later;
  EXPECT_FALSE(later.Monitor()->IsLogToFile());
}

TEST_F(MonitorTest, SecondMonitorCannotShareTheLogFile) {
  std::string path = logToFile();
  ::testing::internal::CaptureStderr();
  CDevNull second;
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(second.Monitor()->IsLogToFile());
  EXPECT_THAT(err, ::testing::HasSubstr(path));
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 0);

  // The first keeps logging, into a file the second did not truncate.
  record(LOG_TX, {1});
  record(LOG_TX, {2});
  EXPECT_EQ(crlfLines(readText(path)).size(), 2u);
  CMonitorDlg::LogCallback(reinterpret_cast<long>(second.Monitor()), LOG_TX, "x", 1);
  EXPECT_EQ(crlfLines(readText(path)).size(), 2u);
}

TEST_F(MonitorTest, PlaybackDeviceNeverOpensALog) {
  std::string path = logToFile();
  record(LOG_TX, {1});
  std::string before = readText(path);
  mon->ToggleLogFile(nullptr);  // release the file, keep "AutoLog to file" on
  {
    CIni ini;
    ini.UseSystemFile();
    ini.WriteProfileInt(IDS_SECTION, IDS_AUTOLOG_TO_FILE, 1);
  }
  CDevPlayback pb;
  EXPECT_FALSE(pb.Monitor()->IsLogToFile());
  EXPECT_EQ(readText(path), before);
  std::string other = env.path("other.txt");
  pb.Monitor()->ToggleLogFile(other.c_str());
  EXPECT_FALSE(pb.Monitor()->IsLogToFile());
  EXPECT_FALSE(std::filesystem::exists(other));
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 1);
}

}  // namespace
}  // namespace zor
