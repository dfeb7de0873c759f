// The library host object: string table, settings read at load, the port list
// and the clock. What the library does at load is observed in a child run of
// this program (mode --print-app), started with its own settings file.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zor/app.h>
#include <zor/strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/serial_line.h"

namespace {

// The child's report: one "name value" line per setting, then "ports" and the list.
int printApp() {
  const zor::CZORApp& a = zor::theApp;
  std::printf("io %ld\nlock %ld\ngranularity %ld\nconnection %ld\nwrite %ld\n", a.m_ioTimeout,
              a.m_lockTimeout, a.m_threadGranularity, a.m_connectionTimeout, a.m_ioWriteTimeout);
  std::printf("monitor %d\npanic %d\nplayback %d\nxoff %d\noverride %d\nmax %d\n", a.m_showMonitor,
              a.m_panicResume, a.m_truePlayback, a.m_writesBeforeXoff, a.m_xProtocolOverride, a.m_maxComPort);
  std::printf("ports");
  for (int i = 0; i < zorNumComPorts(); ++i) std::printf(" %d", zorGetComPortNumber(i));
  std::printf("\n");
  return 0;
}

struct AppReport {
  std::map<std::string, std::string> values;
  std::vector<int> ports;
  bool lists(int port) const { return std::find(ports.begin(), ports.end(), port) != ports.end(); }
};

class LibraryStart : public ::testing::Test {
protected:
  void SetUp() override { std::filesystem::create_directories(m_folder + "/ports"); }

  void settings(const std::string& lines) {
    zortest::writeText(m_folder + "/zor.ini", "[ZOR.DLL]\n" + lines);
  }
  void mapPort(int n, const std::string& target) {
    std::string link = m_folder + "/ports/COM" + std::to_string(n);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }

  AppReport start() {
    auto r = zortest::runProcess(zortest::selfExecutable(), {"--print-app"},
                                 {{"ZOR_CONFIG", m_folder + "/zor.ini"}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    AppReport report;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string name;
      words >> name;
      if (name == "ports") {
        int p;
        while (words >> p) report.ports.push_back(p);
      } else {
        words >> report.values[name];
      }
    }
    return report;
  }

  zortest::ScopedSettingsFile m_cfg;
  const std::string& m_folder = m_cfg.folder;
};

// Most setting keys are read back from the files the other tests write;
// the rest, and every message the monitor shows, are checked here.
TEST(StringTable, MessagesAreExactAndGapsHaveNone) {
  const std::pair<unsigned, const char*> texts[] = {{112, "ZOR.DLL"},
                                                    {138, "I/O Write Timeout"},
                                                    {104, "runZor bdRate"},
                                                    {149, ".txt"},
                                                    {150, "(ZOR files (*.txt) | *.txt|All Files (*.*)|*.*||"},
                                                    {121, "RX buffer: high tide"},
                                                    {122, "RX buffer: low tide"},
                                                    {123, "RX buffer overrun"},
                                                    {124, "TX buffer overrun"},
                                                    {125, "XOFF received"},
                                                    {126, "XON received"},
                                                    {142, "Panic: Resumed"},
                                                    {143, "PANIC!"},
                                                    {145, "Pipe Write Error"},
                                                    {154, "Buffers flushed"}};
  for (auto [id, text] : texts) EXPECT_STREQ(zor::zorString(id), text) << id;
  for (unsigned gap : {0u, 136u, 146u}) EXPECT_EQ(zor::zorString(gap), nullptr) << gap;
}

TEST(StringTable, LoadCopiesAndTruncates) {
  char buf[8];
  EXPECT_EQ(zor::zorLoadString(zor::IDS_PANIC, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "PANIC!");
  EXPECT_EQ(zor::zorLoadString(zor::IDS_RX_OVERRUN, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "RX buff");
  EXPECT_EQ(zor::zorLoadString(136, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(zor::zorLoadString(zor::IDS_PANIC, buf, 0), 0);
}

TEST(PortList, IndexOutOfRangeGivesZero) {
  EXPECT_EQ(zorGetComPortNumber(-1), 0);
  EXPECT_EQ(zorGetComPortNumber(zorNumComPorts()), 0);
  EXPECT_EQ(zorGetComPortNumber(1 << 30), 0);
}

TEST(SyncTime, CountsFromTheBaseAndWraps) {
  zor::DWORD saved = zor::theApp.m_syncBase;
  // A base ahead of the clock wraps round rather than going negative.
  zor::theApp.m_syncBase = zor::GetTickCount() + 1000;
  EXPECT_GT(zorSyncTime(), 0xF0000000UL);
  zor::theApp.m_syncBase = zor::GetTickCount() - 0x70000000u;
  EXPECT_GE(zorSyncTime(), 0x70000000UL);
  EXPECT_LT(zorSyncTime(), 0x80000000UL);
  zor::theApp.m_syncBase = saved;
}

TEST(PumpMessage, CallsTheInstalledPump) {
  static int calls = 0;
  zor::theApp.PumpMessage();  // nothing installed: nothing happens
  zor::theApp.m_pumpMessage = [] { ++calls; };
  zor::theApp.PumpMessage();
  zor::theApp.m_pumpMessage = nullptr;
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(zor::theApp.InitInstance(), zor::TRUE);  // already ran: returns at once
}

TEST_F(LibraryStart, ReadsTheSettingsOnce) {
  settings(
      "I/O Timeout=77\nPanic Resume=0\nLock Timeout=abc\nShow debug monitor=5\nTrue Playback Speed=0\n"
      "X Protocol Override=2\nWrites before XOFF=99999999999\nMax COM Port number=0\n");
  AppReport r = start();
  EXPECT_EQ(r.values["io"], "77");
  EXPECT_EQ(r.values["panic"], "0");
  EXPECT_EQ(r.values["lock"], "500") << "unparsable: the default";
  EXPECT_EQ(r.values["monitor"], "1");
  EXPECT_EQ(r.values["playback"], "0");
  EXPECT_EQ(r.values["override"], "2");
  EXPECT_EQ(r.values["xoff"], "4") << "out of range: the default";
  EXPECT_EQ(r.values["write"], "5000");
  EXPECT_EQ(r.values["granularity"], "15");
  EXPECT_EQ(r.values["connection"], "5000");
  EXPECT_EQ(r.values["max"], "0");
  EXPECT_TRUE(r.ports.empty()) << "Max 0 probes no port";
}

TEST_F(LibraryStart, ListsAPortMappedToAPseudoTerminal) {
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  mapPort(2, pty.path());
  mapPort(3, m_folder + "/no-such-device");
  settings("Max COM Port number=3\n");
  AppReport r = start();
  EXPECT_TRUE(r.lists(2)) << "mapped to " << pty.path();
  EXPECT_FALSE(r.lists(3)) << "a link to nothing is no port";
}

TEST_F(LibraryStart, WithoutMappingOrSettingsUsesTheDefaults) {
  AppReport r = start();  // no settings file at all
  EXPECT_EQ(r.values["io"], "100");
  EXPECT_EQ(r.values["max"], "4");
  EXPECT_EQ(r.values["panic"], "1");
  EXPECT_FALSE(std::filesystem::exists(m_folder + "/zor.ini")) << "start-up writes nothing";
  for (int p : r.ports) {
    EXPECT_GE(p, 1);
    EXPECT_LE(p, 4);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--print-app") == 0) return printApp();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
