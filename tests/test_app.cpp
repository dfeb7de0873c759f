// The library host object (string loads, settings read at load, the port
// list), the host's stored connection choice and the device it opens, and the
// zor program's answer to its mode. What the library does at load is observed
// in a child run of this program (mode --print-app), with its own settings file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zor/app.h>
#include <zor/strings.h>
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"

#include "zor/support/support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace zor;

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

  std::string start() {
    auto r = zortest::runProcess(zortest::selfExecutable(), {"--print-app"},
                                 {{"ZOR_CONFIG", m_folder + "/zor.ini"}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  }

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
      "Autoresume Timer=55\nPanic Resume=0\nShow debug monitor=5\nTrue Playback Speed=0\n"
      "X Protocol Override=2\nLock Timeout=abc\nWrites before XOFF=99999999999\nMax COM Port number=0\n");
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  mapPort(1, pty.path());
  // Lock Timeout and Writes before XOFF are unusable: their defaults.
  EXPECT_EQ(start(),
            "io 77 write 321 granularity 7 connection 1234 resume 55 lock 500\n"
            "panic 0 monitor 1 playback 0 override 2 xoff 4\nports\n")
      << "Max 0 probes no port";
}

TEST_F(LibraryStart, ListsTheMappedPortsUpToTheMaximumAndWritesNothing) {
  zortest::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  for (int n : {1, 3, 4}) mapPort(n, m_folder + "/no-such-device");
  mapPort(2, pty.path());
  mapPort(5, pty.path());
  // No settings file: at most port 4; a link to nothing is no port.
  EXPECT_THAT(start(), ::testing::EndsWith("\nports 2\n"));
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
TEST(ZorProgram, HelpShowsTheUsageAndAMissingOrUnknownModeFailsWithIt) {
  auto help = zortest::runProcess(ZOR_APP_PATH, {"help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.err.find("remote"), std::string::npos) << help.err;
  EXPECT_EQ(help.out, "");

  auto none = zortest::runProcess(ZOR_APP_PATH, {});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(none.err, help.err);

  auto unknown = zortest::runProcess(ZOR_APP_PATH, {"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos);
  EXPECT_TRUE(unknown.err.ends_with(help.err)) << unknown.err;
  EXPECT_EQ(unknown.out, "");
}
#endif

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--print-app") == 0) return printApp();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
