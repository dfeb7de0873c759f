// The library host object (string loads, settings read at load, the port
// list), the host's stored connection choice and the device it opens, and the
// zor program's answer to its mode. What the library does at load is observed
// in a child run of this program (mode --print-app), with its own settings file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zor/app.h>
#include <zor/strings.h>
#include <zor/host.h>
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include "zor/support/support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace zor;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// The child's report: the settings it read, then the ports it found.
int printApp() {
  const CZORApp& a = theApp;
  std::printf("io %ld write %ld granularity %ld connection %ld resume %d lock %ld\n", a.m_ioTimeout,
              a.m_ioWriteTimeout, a.m_threadGranularity, a.m_connectionTimeout, a.m_autoresumeTimer,
              a.m_lockTimeout);
  std::printf("panic %d monitor %d playback %d override %d xoff %d\nports", a.m_panicResume, a.m_showMonitor,
              a.m_truePlayback, a.m_xProtocolOverride, a.m_writesBeforeXoff);
  for (int i = 0; i < zorNumComPorts(); ++i) std::printf(" %d", zorGetComPortNumber(i));
  std::printf("\n");
  return 0;
}

// The child's loopback round trip under the stored settings: bytes sent come
// back, and the close returns.
int exchange() {
  CDevNull dev;
  dev.Loopback(true);
  std::vector<unsigned char> sent(3000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i);
  if (!dev.OpenDevice(0, 8192, 8192) || !dev.WriteBuffer(sent.data(), sent.size())) return 1;
  bool same = zor_test::readBytes(dev, sent.size(), 5000) == sent;
  bool closed = dev.CloseDevice();
  std::printf("moved %d closed %d\n", same, closed);
  return 0;
}

// The child's opens under a memory limit a little above what it uses now:
// refused, never an abort.
int openLimited(const char* log) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)log;
  std::printf("skipped\n");  // sanitizer runtimes reserve more than any limit allows
#else
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  rlimit limit{};
  // Room for the 16 MiB line and the threads' stacks, not for a 200 MB line or 2 x 200 MiB rings.
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (160u << 20);
  if (pages <= 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 3;
  CDevPlayback playback(log);
  bool logOpened = playback.OpenDevice(0, 4096, 4096);
  CDevNull rings;
  bool ringsOpened = rings.OpenDevice(0, 200 << 20, 200 << 20);
  std::printf("playback %d rings %d\n", logOpened, ringsOpened);
#endif
  return 0;
}

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

  std::string start(const char* mode = "--print-app", std::string* err = nullptr) {
    auto r = zortest::runProcess(zortest::selfExecutable(), {mode}, {{"ZOR_CONFIG", m_folder + "/zor.ini"}},
                                 10000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (err != nullptr) *err = r.err;
    return r.out;
  }
  static std::size_t lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

  zortest::ScopedSettingsFile m_cfg;
  const std::string& m_folder = m_cfg.folder;
};

}  // namespace

TEST(HostObject, StringLoadsCopyAndTruncateAndUnknownIndexesGiveNothing) {
  char buf[8];
  EXPECT_EQ(zorLoadString(IDS_PANIC, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "PANIC!");
  EXPECT_EQ(zorLoadString(IDS_RX_OVERRUN, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "RX buff");
  EXPECT_EQ(zorLoadString(136, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(zorLoadString(IDS_PANIC, buf, 0), 0);
  for (unsigned gap : {0u, 136u, 146u}) EXPECT_EQ(zorString(gap), nullptr) << gap;
  for (int index : {-1, zorNumComPorts(), 1 << 30}) EXPECT_EQ(zorGetComPortNumber(index), 0) << index;
  EXPECT_EQ(theApp.InitInstance(), TRUE);  // already ran: returns at once
}

TEST_F(LibraryStart, ReadsTheStoredSettingsAndFallsBackOnBadValues) {
  settings(
      "I/O Timeout=77\nI/O Write Timeout=321\nThread granularity=7\nConnection Timeout=1234\n"
      "Autoresume Timer=55\nPanic Resume=0\nShow debug monitor=1\nTrue Playback Speed=0\n"
      "X Protocol Override=1\nLock Timeout=abc\nWrites before XOFF=99999999999\nMax COM Port number=0\n");
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  mapPort(1, pty.path());
  // Lock Timeout and Writes before XOFF are unusable: their defaults, one line each.
  std::string err;
  EXPECT_EQ(start("--print-app", &err),
            "io 77 write 321 granularity 7 connection 1234 resume 55 lock 500\n"
            "panic 0 monitor 1 playback 0 override 1 xoff 4\nports 1\n")
      << "Max 0 probes no unnamed port; a linked one is the user's choice";
  EXPECT_EQ(lines(err), 2u) << err;
  EXPECT_THAT(err,
              HasSubstr("\"Lock Timeout\" has value \"abc\", not a whole number; using the default 500"));

  // Each value outside its range: its default and one line that names key, value and default.
  settings(
      "Thread granularity=-1\nI/O Write Timeout=-1\nI/O Timeout=0\nConnection Timeout=2147483647\n"
      "Show debug monitor=5\nX Protocol Override=2\nWrites before XOFF=0\nMax COM Port number=100000\n"
      "Monitor view=3\nAutoresume Timer=-5\nLock Timeout=600000\n");
  EXPECT_EQ(start("--print-app", &err),
            "io 100 write 5000 granularity 15 connection 5000 resume 1200 lock 600000\n"
            "panic 1 monitor 1 playback 1 override 2 xoff 4\nports 1\n")
      << "a switch is on for any value but 0; an override other than -1 and 0 is on";
  EXPECT_EQ(lines(err), 8u) << err;
  EXPECT_THAT(err, HasSubstr("\"Thread granularity\" has value -1, outside 0 to 1000; using the default 15"));
  EXPECT_THAT(err,
              HasSubstr("\"I/O Write Timeout\" has value -1, outside 1 to 600000; using the default 5000"));
  EXPECT_THAT(err, HasSubstr(m_folder + "/zor.ini"));
}

TEST_F(LibraryStart, ValuesThatStalledTheDataAreReplacedAndDataMovesAndCloses) {
  for (const char* stored : {"Thread granularity=2147483647\nI/O Write Timeout=-1\n",
                             "Thread granularity=-1\nI/O Timeout=2147483647\n"}) {
    settings(stored);
    EXPECT_EQ(start("--exchange"), "moved 1 closed 1\n") << stored;
  }
}

TEST_F(LibraryStart, GarbageOrAFileThatIsNoFileGivesOneLineAndTheDefaultsAndIsKept) {
  const std::string file = m_folder + "/zor.ini";
  const std::string defaults = start();
  zortest::writeText(file, std::string("\x7f"
                                       "ELF\x01\x00 binary\n",
                                       14) +
                               "[ZOR.DLL]\nI/O Timeout=77\njunk\n");
  std::string err;
  EXPECT_THAT(start("--print-app", &err), StartsWith("io 77 "));
  EXPECT_EQ(lines(err), 1u) << err;
  EXPECT_THAT(err, HasSubstr("2 lines not understood (the first is line 1)"));

  std::filesystem::remove(file);
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
#ifdef ZOR_APP_PATH
  // Not even the usage waits for a writer of the FIFO.
  auto help = zortest::runProcess(ZOR_APP_PATH, {"help"}, {{"ZOR_CONFIG", file}}, 10000);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.err, StartsWith("zor: settings file " + file +
                                   " is a FIFO, not a regular file; using the "
                                   "defaults\n"));
#endif
  EXPECT_EQ(start("--print-app", &err), defaults);
  EXPECT_EQ(lines(err), 1u) << err;
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(start("--print-app", &err), defaults);
  EXPECT_THAT(err, HasSubstr("is a directory"));
  EXPECT_EQ(lines(err), 1u) << err;
}

TEST_F(LibraryStart, RunawayLogsAndHugeRingsUnderAMemoryLimitAreRefusedNotAborted) {
  const std::string log = m_folder + "/runaway.txt";
  zortest::writeText(log, ">>RX\t00:00:00.000\t1\t55 \n");
  std::filesystem::resize_file(log, 200u << 20);  // one line of 200 MB, sparse
  auto r = zortest::runProcess(zortest::selfExecutable(), {"--open-limited", log},
                               // One malloc arena: each thread's own would reserve 64 MiB of the limit.
                               {{"ZOR_CONFIG", m_folder + "/zor.ini"}, {"MALLOC_ARENA_MAX", "1"}}, 20000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  if (r.out == "skipped\n") GTEST_SKIP() << "no address-space limit under a sanitizer";
  EXPECT_EQ(r.out, "playback 0 rings 0\n");
  EXPECT_THAT(r.err, HasSubstr("row 2: longer than 16 MiB"));
}

TEST_F(LibraryStart, ListsTheMappedPortsWhateverTheMaximumAndWritesNothing) {
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  for (int n : {1, 3, 4}) mapPort(n, m_folder + "/no-such-device");
  mapPort(2, pty.path());
  mapPort(5, pty.path());
  // No settings file: the maximum (4) bounds the blind probe, not the links
  // the user made; a link to nothing is no port.
  EXPECT_THAT(start(), ::testing::EndsWith("\nports 2 5\n"));
  EXPECT_FALSE(std::filesystem::exists(m_folder + "/zor.ini")) << "start-up writes nothing";
}

namespace {

class HostSelection : public ::testing::Test {
protected:
  void store(std::initializer_list<std::pair<unsigned, int>> values) {
    CIni ini;
    ini.UseSystemFile();
    for (auto [key, value] : values) ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, key, value));
  }
  zortest::ScopedSettingsFile m_cfg;
};

}  // namespace

TEST_F(HostSelection, StoredValuesAreReadAndListIndexesOutOfRangeReadAsTheDefault) {
  store({{IDS_RUNZOR_NUMDEV, 4},
         {IDS_RUNZOR_OVRLP_TX, 1},
         {IDS_RUNZOR_STOPBIT, 1},
         {IDS_RUNZOR_BDRATE, 99},
         {IDS_RUNZOR_PARITY, -3}});
  {
    CIni ini;
    ini.UseSystemFile();
    ASSERT_TRUE(ini.WriteProfileStringA(IDS_SECTION, IDS_RUNZOR_ADDRESS, "/tmp/trace.txt"));
  }
  CRunZorSettings s(false);
  EXPECT_EQ(s.GetPortIndex(), 4);
  EXPECT_STREQ(s.GetAddress(), "/tmp/trace.txt");
  EXPECT_EQ(s.GetOverlappedTx(), 1);
  EXPECT_EQ(s.GetStopBits(), 1);
  EXPECT_EQ(s.GetBaudRate(), 9600u);
  EXPECT_EQ(s.GetParity(), 'N');
  store({{IDS_RUNZOR_STOPBIT, 7}});
  EXPECT_EQ(CRunZorSettings(false).GetStopBits(), 0);
}

TEST_F(HostSelection, NullEntryOpensALoopbackDeviceAsStored) {
  zor_test::SettingsScope settings;
  settings->m_threadGranularity = 2;
  store({{IDS_RUNZOR_NUMDEV, 0}, {IDS_RUNZOR_LOOPBACK, 1}});
  std::unique_ptr<CDevice> dev(openSelectedDevice(CRunZorSettings(true)));
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->Type(), ZOR_NULL);
  ASSERT_TRUE(dev->WriteBuffer(reinterpret_cast<const unsigned char*>("lo"), 2));
  EXPECT_EQ(zor_test::readBytes(*dev, 2, 3000), (std::vector<unsigned char>{'l', 'o'}));
}

TEST_F(HostSelection, EntriesWithoutAnAddressOrAPortOpenNothing) {
  for (int index : {-1, 1, 2, 3, 4, 205}) {
    store({{IDS_RUNZOR_NUMDEV, index}});
    EXPECT_EQ(openSelectedDevice(CRunZorSettings(false)), nullptr) << index;
    // A server never serves a network client device.
    EXPECT_EQ(CRunZorSettings(true).GetPortIndex(), index == 2 || index == 3 ? 0 : index) << index;
  }
  char name[32];
  EXPECT_STREQ(selectedDeviceName(CRunZorSettings(false), name, sizeof name), "entry 205");
}

#ifdef ZOR_APP_PATH
TEST(ZorProgram, HelpShowsTheUsageAndAMissingOrUnknownModeFails) {
  auto help = zortest::runProcess(ZOR_APP_PATH, {"help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.err.find("remote"), std::string::npos) << help.err;
  EXPECT_EQ(help.out, "");

  auto none = zortest::runProcess(ZOR_APP_PATH, {});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_NE(none.err.find("usage: zor <mode>"), std::string::npos) << none.err;

  auto unknown = zortest::runProcess(ZOR_APP_PATH, {"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.err, "zor: unknown mode \"frobnicate\"; try zor --help\n");
  EXPECT_EQ(unknown.out, "");
}
#endif

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--print-app") == 0) return printApp();
  if (argc >= 2 && std::strcmp(argv[1], "--exchange") == 0) return exchange();
  if (argc >= 3 && std::strcmp(argv[1], "--open-limited") == 0) return openLimited(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
