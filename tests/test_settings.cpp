// The settings store: round trips, defaults, other processes, concurrent
// writers and damaged files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zor/strings.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/process.h"
#include "zor/support/support.h"

using zor::CIni;
using zor::IDS_SECTION;

namespace {

class Settings : public ::testing::Test {
protected:
  static CIni open() {
    CIni ini;
    ini.UseSystemFile();
    ini.ForceWriteDefaults();
    return ini;
  }

  // Waits for a forked child; true when it exited with status 0.
  static bool childSucceeded(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  zortest::ScopedSettingsFile m_cfg;
  const std::string &m_folder = m_cfg.folder, &m_file = m_cfg.file;
};

TEST_F(Settings, ValuesRoundTripThroughTheFile) {
  {
    CIni ini = open();
    EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 250));
    EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_X_PROTOCOL_OVERRIDE, -1));
    EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_CONNECTION_TIMEOUT, 2147483647));
    EXPECT_TRUE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_RUNZOR_ADDRESS, "host one:5"));
    EXPECT_TRUE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "  padded name  "));
  }
  CIni ini = open();  // a separate instance reads what the first wrote
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 1), 250);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_X_PROTOCOL_OVERRIDE, 7), -1);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_CONNECTION_TIMEOUT, 1), 2147483647L);
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_RUNZOR_ADDRESS, "x"), "host one:5");
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "x"), "  padded name  ");

  // Rewriting a key changes it in place and keeps one line for it.
  EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 300));
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 1), 300);
  std::string text = zortest::readText(m_file);
  EXPECT_NE(text.find("[ZOR.DLL]"), std::string::npos);
  EXPECT_NE(text.find("I/O Timeout=300\n"), std::string::npos);
  EXPECT_EQ(text.find("I/O Timeout=250"), std::string::npos);
}

TEST_F(Settings, AbsentValuesReadAsTheDefault) {
  CIni ini = open();
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 123), 123);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_IO_WRITE_TIMEOUT, 5000L), 5000L);
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "def.txt"), "def.txt");
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, nullptr), "");
  EXPECT_FALSE(std::filesystem::exists(m_file)) << "reading must not create the file";

  // The same key under another section is not ours; an id without text is refused.
  zortest::writeText(m_file, "[Other]\nI/O Timeout=9\n");
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 123), 123);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, 999, 5), 5);
  EXPECT_FALSE(ini.WriteProfileInt(IDS_SECTION, 999, 5));
}

TEST_F(Settings, WritingCreatesMissingFolders) {
  std::string nested = m_folder + "/a/b/zor.ini";
  setenv("ZOR_CONFIG", nested.c_str(), 1);
  CIni ini = open();
  EXPECT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_MONITOR_VIEW, 2));
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_MONITOR_VIEW, 0), 2);
  EXPECT_TRUE(std::filesystem::exists(nested));
}

TEST_F(Settings, ValuesWithLineBreaksAreRefusedAndLoseNothing) {
  CIni ini = open();
  ASSERT_TRUE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "a.txt"));
  std::string before = zortest::readText(m_file);
  EXPECT_FALSE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "b\n[Evil]\nx=1"));
  EXPECT_FALSE(ini.WriteString("ZOR.DLL", "key=with=equals", "1"));
  EXPECT_EQ(zortest::readText(m_file), before);
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, ""), "a.txt");
}

TEST_F(Settings, OtherProcessesSeeWrittenValues) {
  CIni ini = open();
  ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_AUTORESUME_TIMER, 4321));

  // A later process reads what this one wrote...
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    CIni child;
    _exit(child.GetProfileIntA(IDS_SECTION, zor::IDS_AUTORESUME_TIMER, 0) == 4321 ? 0 : 1);
  }
  EXPECT_TRUE(childSucceeded(reader));

  // ...and this instance reads what another process wrote after it was made.
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    CIni child;
    bool ok = child.WriteProfileInt(IDS_SECTION, zor::IDS_AUTORESUME_TIMER, 8765) &&
              child.WriteProfileStringA(IDS_SECTION, zor::IDS_RUNZOR_ADDRESS, "10.0.0.1");
    _exit(ok ? 0 : 1);
  }
  ASSERT_TRUE(childSucceeded(writer));
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_AUTORESUME_TIMER, 0), 8765);
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_RUNZOR_ADDRESS, ""), "10.0.0.1");
}

TEST_F(Settings, ConcurrentWritersInTwoProcessesLoseNoKey) {
  constexpr int kKeys = 200;
  CIni seed = open();
  ASSERT_TRUE(seed.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 77));

  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      CIni child;
      bool ok = true;
      for (int i = 0; i < kKeys; ++i)
        ok = child.WriteString("ZOR.DLL", "key " + std::to_string(c) + "-" + std::to_string(i),
                               std::to_string(c * 1000 + i)) &&
             ok;
      _exit(ok ? 0 : 1);
    }
  }
  EXPECT_TRUE(childSucceeded(children[0]));
  EXPECT_TRUE(childSucceeded(children[1]));

  CIni ini = open();
  int missing = 0;
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kKeys; ++i) {
      auto v = ini.ReadString("ZOR.DLL", "key " + std::to_string(c) + "-" + std::to_string(i));
      if (!v || *v != std::to_string(c * 1000 + i)) ++missing;
    }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 0), 77);
  // One section, no temporary left behind.
  std::string text = zortest::readText(m_file);
  EXPECT_EQ(text.find("[ZOR.DLL]"), text.rfind("[ZOR.DLL]"));
  EXPECT_FALSE(std::filesystem::exists(m_file + ".tmp"));
}

TEST_F(Settings, DamagedFileReadsDefaultsAndIsKept) {
  const std::string garbage =
      "\x01\x02 binary junk \xff\n"
      "no equals sign here\n"
      "[ZOR.DLL\n"
      "=value without key\n"
      "[ZOR.DLL]\n"
      "I/O Timeout=abc\n"
      "Lock Timeout=99999999999999999999\n"
      "Connection Timeout=-99999999999\n"
      "Autoresume Timer=12x\n"
      "Monitor view=\n"
      "  Thread granularity =  42  \r\n"
      "; a comment\n"
      "random trailing garbage ]]]";
  zortest::writeText(m_file, garbage);

  CIni ini = open();
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_LOCK_TIMEOUT, 500), 500);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_CONNECTION_TIMEOUT, 5000), 5000);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_AUTORESUME_TIMER, 1200), 1200);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_MONITOR_VIEW, 3), 3);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_THREAD_GRANULARITY, 15), 42);
  EXPECT_EQ(zortest::readText(m_file), garbage) << "reading must not touch the file";

  // A write changes its key and keeps every line it does not understand.
  ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 150));
  ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_PANIC_RESUME, 0));
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 150);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_PANIC_RESUME, 1), 0);
  EXPECT_EQ(ini.GetProfileLong(IDS_SECTION, zor::IDS_THREAD_GRANULARITY, 15), 42);
  std::string text = zortest::readText(m_file);
  for (const char* kept :
       {"\x01\x02 binary junk \xff\n", "no equals sign here\n", "[ZOR.DLL\n", "=value without key\n",
        "Lock Timeout=99999999999999999999\n", "; a comment\n", "random trailing garbage ]]]"})
    EXPECT_NE(text.find(kept), std::string::npos) << kept;
}

TEST_F(Settings, UnreadableStoreGivesDefaultsAndIsNotReplaced) {
  // A folder where the file should be: nothing to parse, nothing to overwrite.
  std::filesystem::create_directories(m_file);
  CIni ini = open();
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
  EXPECT_FALSE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 5));
  EXPECT_TRUE(std::filesystem::is_directory(m_file));

  // Something endless is read no further than a bound.
  setenv("ZOR_CONFIG", "/dev/zero", 1);
  CIni endless = open();
  EXPECT_EQ(endless.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
}

TEST_F(Settings, ConcurrentWritersInOneProcessLoseNoKey) {
  constexpr int kKeys = 50;
  auto writeKeys = [](int t) {
    CIni ini;
    for (int i = 0; i < kKeys; ++i)
      ini.WriteString("ZOR.DLL", "thread " + std::to_string(t) + "-" + std::to_string(i), std::to_string(i));
  };
  std::thread a(writeKeys, 0), b(writeKeys, 1);
  a.join();
  b.join();
  CIni ini = open();
  int missing = 0;
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < kKeys; ++i)
      if (ini.ReadString("ZOR.DLL", "thread " + std::to_string(t) + "-" + std::to_string(i)) !=
          std::to_string(i))
        ++missing;
  EXPECT_EQ(missing, 0);
}

}  // namespace
