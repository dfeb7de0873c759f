// The traffic monitor: lines as the record store, the debugger output and the
// traffic log file get them; filters, counters, pause; options in the
// settings store; automatic logging and the exclusive log file.
#include "support/process.h"
#include "support/recorder.h"

#include "zor/support/support.h"

#include <zor/zor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zor {
namespace {

using ::testing::MatchesRegex;
using zor_test::TestEnv;
using zortest::readText;
using zortest::writeText;

const std::string kTime = "[0-9][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9][0-9][0-9]";

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
  for (std::size_t pos = 0, end; pos < text.size(); pos = end + 2) {
    end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last CR LF: " << text.substr(pos);
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    EXPECT_EQ(lines.back().find('\n'), std::string::npos) << "bare LF in " << lines.back();
  }
  return lines;
}

int settingInt(unsigned key, int def = -1) {
  CIni ini;
  ini.UseSystemFile();
  return ini.GetProfileIntA(IDS_SECTION, key, def);
}

TEST(MonitorFormat, TimestampsCountHoursBeyondADay) {
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(3723004), "01:02:03.004");
  EXPECT_EQ(CMonitorDlg::FormatTimestamp(360000000), "100:00:00.000");
}

class MonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    dev = std::make_unique<CDevNull>();
    mon = dev->Monitor();
    ASSERT_NE(mon, nullptr);
  }
  void TearDown() override { dev.reset(); }

  void record(int kind, const std::vector<unsigned char>& bytes, CMonitorDlg* to = nullptr) {
    CMonitorDlg::LogCallback(reinterpret_cast<long>(to ? to : mon), kind, bytes.data(), bytes.size());
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
  zor_test::SettingsScope settings;
  std::unique_ptr<CDevNull> dev;
  CMonitorDlg* mon = nullptr;
};

TEST_F(MonitorTest, HexRecordsBreakEvery64BytesAlikeInTheListAndTheFile) {
  std::string path = logToFile();
  mon->SetView(MONITOR_VIEW_HEX);
  const char* const tags[] = {"<<TX", "<<..", ">>RX", ">>.."};
  std::vector<std::string> expected;
  for (auto [kind, n] : {std::pair{LOG_TX, 150}, {LOG_RX, 64}, {LOG_RX, 65}}) {
    auto bytes = sequence(n, n);
    const int at = mon->LineCount(), first = kind == LOG_TX ? 0 : 2;
    record(kind, bytes);
    ASSERT_EQ(mon->LineCount(), at + (n + 63) / 64) << n << " bytes";
    for (int i = 0; i * 64 < n; ++i) {
      MonitorLine l = line(at + i);
      EXPECT_EQ(l.lineKind, first + (i > 0));
      if (i == 0) {
        EXPECT_THAT(l.time, MatchesRegex(kTime));
      } else {
        EXPECT_EQ(l.time, "...");
      }
      EXPECT_EQ(l.size, i ? "" : std::to_string(n));
      EXPECT_EQ(l.data, hex(bytes, i * 64, std::min(64, n - i * 64)));
      expected.push_back(std::string(tags[l.lineKind]) + "\t" + l.time + "\t" + l.size + "\t" + l.data);
    }
  }
  EXPECT_EQ(crlfLines(readText(path)), expected);
  EXPECT_EQ(mon->RecordsProcessed(), 3u);
  EXPECT_EQ(mon->BytesTransmitted(), 150u);
  EXPECT_EQ(mon->BytesReceived(), 129u);
}

TEST_F(MonitorTest, ViewsEventsAndTheOtherKindsAppearAsTheFileHoldsThem) {
  std::string path = logToFile();
  std::vector<unsigned char> bytes = {7, 255, 0};
  record(LOG_TX, bytes);  // decimal is the default view
  mon->SetView(MONITOR_VIEW_HEX);
  record(LOG_TX, bytes);
  event(IDS_XON_RECEIVED);
  for (int kind : {LOG_SERVER_SENT, LOG_SERVER_RCV, LOG_PLAYBACK_ERROR}) record(kind, sequence(70));
  mon->SetView(MONITOR_VIEW_ASCII);
  record(LOG_TX, {'A', 0, '\r', '\n', 'B'});
  ASSERT_EQ(mon->LineCount(), 10);
  EXPECT_EQ(line(0).data, "007 255 000 ");
  EXPECT_EQ(line(1).data, "07 ff 00 ");
  EXPECT_EQ(line(2).lineKind, 4);
  EXPECT_EQ(line(2).size, "");
  EXPECT_EQ(line(2).data, "XON received");
  EXPECT_EQ(line(8).lineKind, 10);
  EXPECT_EQ(line(9).data, "A\r\nB");  // the zero byte adds nothing

  std::string text = readText(path);
  auto lines = crlfLines(text);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_THAT(lines[2], MatchesRegex("\\+Evn\t" + kTime + "\t\tXON received"));
  const char* tags[] = {"^Snd\t", "^...\t", "#Rcv\t", "#...\t", "PbEr\t", "\t..."};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(lines[i + 3].rfind(tags[i], 0), 0u) << lines[i + 3];
  // On disk the control bytes break the line as they come.
  EXPECT_THAT(text.substr(text.rfind("<<TX")), MatchesRegex("<<TX\t" + kTime + "\t5\tA\r\r\nB\r\n"));
  // Relayed bytes and playback errors are records but not device traffic.
  EXPECT_EQ(mon->RecordsProcessed(), 7u);
  EXPECT_EQ(mon->BytesTransmitted(), 11u);
  EXPECT_EQ(mon->BytesReceived(), 0u);
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
  mon->Flush();  // the writer's output, before standard error is restored
  std::string debugger = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(mon->LineCount(), 0);
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
  EXPECT_EQ(mon->BytesReceived(), 2u);
  EXPECT_THAT(debugger, MatchesRegex(">>RX\t" + kTime + "\t2\tab cd \n"));
  EXPECT_THAT(readText(path), MatchesRegex(">>RX\t" + kTime + "\t2\tab cd \r\n"));

  mon->TogglePause();
  mon->ToggleExternalDebugger();
  record(LOG_RX, {1});
  EXPECT_EQ(mon->LineCount(), 1);
}

TEST_F(MonitorTest, StoreKeepsAThousandLinesAndTellsItsTarget) {
  MessageQueue list;
  mon->SetListTarget(&list);
  for (int i = 0; i < 1000; ++i) record(LOG_TX, {static_cast<unsigned char>(i)});
  EXPECT_EQ(mon->LineCount(), 1000);
  EXPECT_EQ(line(999).data, "231 ");  // 999 mod 256, decimal view
  mon->SetListTarget(nullptr);
  ASSERT_EQ(list.size(), 1000u);
  MSG msg;
  ASSERT_TRUE(list.get(msg, 0));
  EXPECT_EQ(msg.message, WM_FASTLIST_ADDED);

  mon->Clear();
  EXPECT_EQ(mon->LineCount(), 0);
  EXPECT_EQ(mon->RecordsProcessed(), 0u);
  EXPECT_EQ(mon->BytesTransmitted(), 0u);
  record(LOG_TX, {9});
  EXPECT_EQ(line(0).data, "009 ");
}

TEST_F(MonitorTest, FailedWriteStopsFileLoggingAndSaysSo) {
  // A regular log that may not grow: the open succeeds and every write fails
  // (EFBIG), as on a full disk. /dev/full is refused as no regular file.
  // Standard error goes to a pipe meanwhile, which the limit does not touch.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  const std::string path = logToFile("full.log");
  int errPipe[2];
  ASSERT_EQ(pipe(errPipe), 0);
  const int savedErr = dup(2);
  dup2(errPipe[1], 2);
  struct rlimit none = saved;
  none.rlim_cur = 0;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
  record(LOG_TX, {1, 2, 3});
  mon->Flush();  // the writer meets the limit
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  dup2(savedErr, 2);
  close(savedErr);
  close(errPipe[1]);
  char text[1024];
  const ssize_t n = read(errPipe[0], text, sizeof text);
  close(errPipe[0]);
  const std::string err(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  EXPECT_FALSE(mon->IsLogToFile());
  EXPECT_THAT(err, ::testing::HasSubstr(path));
  EXPECT_EQ(mon->LineCount(), 1);  // the other sinks are unaffected
  EXPECT_EQ(mon->RecordsProcessed(), 1u);
}

TEST_F(MonitorTest, PauseOnExitDoesNotWaitWithoutAWindow) {
  settings->m_pauseOnExit = true;
  EXPECT_FALSE(mon->Show());  // no window in this build
  dev->ShowMonitor();
  dev.reset();  // returns: there is no window the user could close
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
  settings->m_showMonitor = settings->m_pauseOnExit = false;
  const std::pair<unsigned, int> stored[] = {{IDS_MONITOR_VIEW, 2},        {IDS_MONITOR_FILTER_RX, 1},
                                             {IDS_MONITOR_FILTER_TX, 0},   {IDS_MONITOR_FILTER_RCV, 0},
                                             {IDS_MONITOR_FILTER_SENT, 1}, {IDS_PAUSE_ON_EXIT, 1},
                                             {IDS_SHOW_DEBUG_MONITOR, 1},  {IDS_EXTERNAL_DEBUGGER, 1},
                                             {IDS_ALWAYS_ON_TOP, 1},       {IDS_TRUE_PLAYBACK_SPEED, 1}};
  for (auto [key, value] : stored) EXPECT_EQ(settingInt(key), value) << zorString(key);

  // The monitor's own options come back with the next monitor.
  CDevNull other;
  EXPECT_TRUE(other.Monitor()->IsExternalDebugger());
  EXPECT_TRUE(other.Monitor()->IsAlwaysOnTop());
  other.Monitor()->ToggleExternalDebugger();
  EXPECT_EQ(settingInt(IDS_EXTERNAL_DEBUGGER), 0);
  EXPECT_FALSE(CDevNull().Monitor()->IsExternalDebugger());

  // A playback monitor does toggle true speed.
  CDevPlayback pb;
  pb.Monitor()->ToggleTruePlayback();
  EXPECT_FALSE(settings->m_truePlayback);
  EXPECT_EQ(settingInt(IDS_TRUE_PLAYBACK_SPEED), 0);
}

TEST_F(MonitorTest, TheLogFileIsRememberedTruncatedByTheNextDeviceAndHeldByOneMonitorOnly) {
  mon->ToggleLogFile(nullptr);  // a cancelled file choice changes nothing
  EXPECT_FALSE(mon->IsLogToFile());
  std::string path = logToFile();
  {
    CIni ini;
    ini.UseSystemFile();
    EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, IDS_LOG_FILENAME, ""), path);
  }
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 1);
  record(LOG_TX, {1, 2});
  dev.reset();
  EXPECT_NE(readText(path), "");
  dev = std::make_unique<CDevNull>();
  mon = dev->Monitor();
  EXPECT_TRUE(mon->IsLogToFile());
  EXPECT_EQ(readText(path), "");  // emptied at construction, before anything is shown
  record(LOG_RX, {3});
  mon->Flush();
  EXPECT_THAT(readText(path), MatchesRegex(">>RX\t" + kTime + "\t1\t003 \r\n"));

  // Switching it off is remembered too.
  mon->ToggleLogFile(nullptr);
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 0);
  EXPECT_FALSE(CDevNull().Monitor()->IsLogToFile());

  // A second monitor cannot share the file and says so; the first keeps logging, untruncated.
  path = logToFile();
  ::testing::internal::CaptureStderr();
  CDevNull second;
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr(path));
  EXPECT_FALSE(second.Monitor()->IsLogToFile());
  EXPECT_EQ(settingInt(IDS_AUTOLOG_TO_FILE), 0);
  record(LOG_TX, {4});
  record(LOG_TX, {5});
  record(LOG_TX, {6}, second.Monitor());
  mon->Flush();
  second.Monitor()->Flush();
  EXPECT_EQ(crlfLines(readText(path)).size(), 2u);

  // A playback device opens neither the remembered log nor a chosen one.
  const std::string before = readText(path);
  mon->ToggleLogFile(nullptr);
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

TEST_F(MonitorTest, ABrowsedLogKeepsItsLinesAndFollowsTheViewUntilCleared) {
  std::string path = logToFile();
  mon->SetView(MONITOR_VIEW_HEX);
  record(LOG_TX, {'A', 'B'});
  record(LOG_RX, sequence(70, 1));
  event(IDS_PANIC);
  mon->ToggleLogFile(nullptr);
  const int lines = mon->LineCount();

  CDevNull viewer;
  CMonitorDlg* view = viewer.Monitor();
  std::string why;
  ASSERT_TRUE(view->ViewLogFile(path.c_str(), &why)) << why;
  ASSERT_EQ(view->LineCount(), lines);
  for (int i = 0; i < lines; ++i) {
    MonitorLine a = line(i), b;
    ASSERT_TRUE(view->GetLine(i, b));
    EXPECT_EQ(b.lineKind, a.lineKind);
    EXPECT_EQ(b.time, a.time);
    EXPECT_EQ(b.data, a.data) << i;
  }
  EXPECT_EQ(view->RecordsProcessed(), 3u);
  EXPECT_EQ(view->BytesReceived(), 70u);
  view->SetView(MONITOR_VIEW_DECIMAL);
  MonitorLine first, panic;
  ASSERT_TRUE(view->GetLine(0, first));
  EXPECT_EQ(first.data, "065 066 ") << "the bytes are drawn again in the view chosen";
  ASSERT_TRUE(view->GetLine(lines - 1, panic));
  EXPECT_EQ(panic.data, line(lines - 1).data) << "an event's text stays";
  view->Clear();
  view->SetView(MONITOR_VIEW_HEX);
  EXPECT_EQ(view->LineCount(), 0) << "a cleared log came back";

  writeText(env.path("notes.txt"), "no\ttraffic\nhere\n");
  EXPECT_FALSE(view->ViewLogFile(env.path("notes.txt").c_str(), &why));
  EXPECT_EQ(why, "it holds no line of a traffic log");
  ASSERT_EQ(::mkfifo(env.path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(view->ViewLogFile(env.path("fifo").c_str(), &why)) << "a FIFO must not block the viewer";
  EXPECT_FALSE(view->ViewLogFile(env.path("missing").c_str(), &why));

  // A log an editor saved with a byte order mark opens, its first row included.
  writeText(env.path("bom.txt"), "\xEF\xBB\xBF" + readText(path));
  ASSERT_TRUE(view->ViewLogFile(env.path("bom.txt").c_str(), &why)) << why;
  EXPECT_EQ(view->LineCount(), lines);
  EXPECT_EQ(view->RecordsProcessed(), 3u);
}

}  // namespace
}  // namespace zor
