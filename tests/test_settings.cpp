// The settings store: where it lives, round trips, defaults, concurrent
// writers and damaged files; and what a "COMn" name stands for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zor/strings.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "support/process.h"
#include "zor/platform/platform.h"
#include "zor/platform/tty_line.h"
#include "zor/support/support.h"

using zor::CIni;
using zor::IDS_SECTION;

namespace {

// Sets an environment variable (nullptr: unsets it) until the object goes.
class ScopedEnv {
public:
  explicit ScopedEnv(const char* name) : m_name(name) {
    if (const char* v = std::getenv(name)) m_old = v;
  }
  ~ScopedEnv() { set(m_old ? m_old->c_str() : nullptr); }
  void set(const char* value) { value != nullptr ? setenv(m_name, value, 1) : unsetenv(m_name); }

private:
  const char* m_name;
  std::optional<std::string> m_old;
};

class Settings : public ::testing::Test {
protected:
  static CIni open() {
    CIni ini;
    ini.UseSystemFile();
    ini.ForceWriteDefaults();
    return ini;
  }

  zortest::ScopedSettingsFile m_cfg;
  const std::string &m_folder = m_cfg.folder, &m_file = m_cfg.file;
};

TEST_F(Settings, WhereTheFileAndThePortLinksAre) {
  ScopedEnv xdg("XDG_CONFIG_HOME"), home("HOME");
  setenv("ZOR_CONFIG", "/x/y/zor.ini", 1);
  xdg.set("/xdg");
  home.set("/home/someone");
  EXPECT_EQ(zor::settingsFilePath(), "/x/y/zor.ini");
  EXPECT_EQ(zor::portLinkFolder(), "/x/y/ports");
  setenv("ZOR_CONFIG", "", 1);
  EXPECT_EQ(zor::settingsFilePath(), "/xdg/zor/zor.ini");
  unsetenv("ZOR_CONFIG");
  EXPECT_EQ(zor::settingsFilePath(), "/xdg/zor/zor.ini");
  EXPECT_EQ(zor::portLinkFolder(), "/xdg/zor/ports");
  xdg.set("");
  EXPECT_EQ(zor::settingsFilePath(), "/home/someone/.config/zor/zor.ini");
  xdg.set(nullptr);
  EXPECT_EQ(zor::settingsFilePath(), "/home/someone/.config/zor/zor.ini");
  home.set(nullptr);  // the account's home folder instead
  std::string path = zor::settingsFilePath();
  EXPECT_EQ(path.substr(path.size() - std::string("/.config/zor/zor.ini").size()), "/.config/zor/zor.ini");

  // A "COMn" name is the link ports/COMn beside the settings file, else the nth system port.
  setenv("ZOR_CONFIG", m_file.c_str(), 1);
  std::filesystem::create_directories(m_folder + "/ports");
  ASSERT_EQ(symlink("/dev/ttyUSB7", (m_folder + "/ports/COM5").c_str()), 0);
  ASSERT_EQ(symlink("../dev/thing", (m_folder + "/ports/COM6").c_str()), 0);
  EXPECT_EQ(zor::resolveComName("COM5"), "/dev/ttyUSB7");
  EXPECT_EQ(zor::resolveComName("COM6"), m_folder + "/ports/../dev/thing");
  EXPECT_EQ(zor::resolveComName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(zor::resolveComName("COM12"), "/dev/ttyS11");
  for (const char* good : {"COM1", "COM12", "\\\\.\\COM3"}) EXPECT_TRUE(zor::isComName(good)) << good;
  for (const char* bad : {"COM", "COM0", "COM01", "COM1x", "COM-1", "LPT1", "com1", "", "COM99999999999"}) {
    EXPECT_EQ(zor::resolveComName(bad), "") << bad;
    EXPECT_FALSE(zor::isComName(bad)) << bad;
  }
  EXPECT_FALSE(zor::isComName("/dev/ttyS0"));
  EXPECT_FALSE(zor::isComName(nullptr));
  EXPECT_EQ(zor::resolveComName(nullptr), "");
}

TEST_F(Settings, ValuesRoundTripThroughTheFileAndItsFoldersAreMade) {
  const std::string nested = m_folder + "/a/b/zor.ini";
  setenv("ZOR_CONFIG", nested.c_str(), 1);
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
  std::string text = zortest::readText(nested);
  EXPECT_NE(text.find("[ZOR.DLL]"), std::string::npos);
  EXPECT_NE(text.find("I/O Timeout=300\n"), std::string::npos);
  EXPECT_EQ(text.find("I/O Timeout=250"), std::string::npos);
}

TEST_F(Settings, AbsentValuesReadAsTheDefaultAndBadOnesAreRefused) {
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

  // A value with a line break, or a key with '=', is refused and loses nothing.
  ASSERT_TRUE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "a.txt"));
  std::string before = zortest::readText(m_file);
  EXPECT_FALSE(ini.WriteProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, "b\n[Evil]\nx=1"));
  EXPECT_FALSE(ini.WriteString("ZOR.DLL", "key=with=equals", "1"));
  EXPECT_EQ(zortest::readText(m_file), before);
  EXPECT_EQ(ini.GetProfileStringA(IDS_SECTION, zor::IDS_LOG_FILENAME, ""), "a.txt");
}

// Two other processes and two threads of this one write at once; an instance
// made before them reads every key they wrote, and the key it wrote itself.
TEST_F(Settings, ConcurrentWritersLoseNoKey) {
  constexpr int kKeys = 150;
  CIni ini = open();
  ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 77));
  auto writeKeys = [](int w) {
    CIni writer;
    bool ok = true;
    for (int i = 0; i < kKeys; ++i)
      ok = writer.WriteString("ZOR.DLL", "key " + std::to_string(w) + "-" + std::to_string(i),
                              std::to_string(w * 1000 + i)) &&
           ok;
    return ok;
  };
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();  // before this process starts threads of its own
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) _exit(writeKeys(c) ? 0 : 1);
  }
  std::thread a(writeKeys, 2), b(writeKeys, 3);
  a.join();
  b.join();
  for (pid_t child : children) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int missing = 0;
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < kKeys; ++i)
      if (ini.ReadString("ZOR.DLL", "key " + std::to_string(w) + "-" + std::to_string(i)) !=
          std::to_string(w * 1000 + i))
        ++missing;
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 0), 77);
  // One section, no temporary left behind.
  std::string text = zortest::readText(m_file);
  EXPECT_EQ(text.find("[ZOR.DLL]"), text.rfind("[ZOR.DLL]"));
  EXPECT_FALSE(std::filesystem::exists(m_file + ".tmp"));
}

TEST_F(Settings, DamagedOrUnreadableStoresGiveDefaultsAndAreKept) {
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

  // A folder where the file should be: nothing to parse, nothing to overwrite.
  std::filesystem::remove(m_file);
  std::filesystem::create_directories(m_file);
  CIni folder = open();
  EXPECT_EQ(folder.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
  EXPECT_FALSE(folder.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 5));
  EXPECT_TRUE(std::filesystem::is_directory(m_file));
  // Something endless is not read at all.
  setenv("ZOR_CONFIG", "/dev/zero", 1);
  CIni endless = open();
  EXPECT_EQ(endless.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
  std::string contents, problem;
  EXPECT_FALSE(zor::readSettingsFile("/dev/zero", contents, &problem));
  EXPECT_EQ(problem, "is a character device, not a regular file");

  // A FIFO (also behind a link) is neither waited on, nor written, nor replaced.
  const std::string fifo = m_folder + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::remove(m_file);
  ASSERT_EQ(symlink(fifo.c_str(), m_file.c_str()), 0);
  for (const std::string& path : {fifo, m_file}) {
    setenv("ZOR_CONFIG", path.c_str(), 1);
    CIni pipe = open();
    EXPECT_EQ(pipe.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 100), 100);
    EXPECT_FALSE(pipe.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 5)) << path;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_TRUE(std::filesystem::is_symlink(m_file));
}

TEST_F(Settings, AWriteThroughALinkReplacesItsTargetAndKeepsTheLink) {
  const std::string real = m_folder + "/real/zor.ini";
  std::filesystem::create_directories(m_folder + "/real");
  zortest::writeText(real, "[ZOR.DLL]\nLock Timeout=700\n");
  ASSERT_EQ(symlink("real/zor.ini", (m_folder + "/hop").c_str()), 0);  // relative, and two links deep
  ASSERT_EQ(symlink((m_folder + "/hop").c_str(), m_file.c_str()), 0);
  CIni ini = open();
  ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 250));
  EXPECT_TRUE(std::filesystem::is_symlink(m_file));
  EXPECT_TRUE(std::filesystem::is_symlink(m_folder + "/hop"));
  EXPECT_EQ(zortest::readText(real), "[ZOR.DLL]\nLock Timeout=700\nI/O Timeout=250\n");
  EXPECT_EQ(ini.GetProfileIntA(IDS_SECTION, zor::IDS_IO_TIMEOUT, 1), 250);
  EXPECT_FALSE(std::filesystem::exists(m_folder + "/real/zor.ini.tmp"));
  // A link into a loop is written nowhere.
  std::filesystem::remove(m_file);
  ASSERT_EQ(symlink(m_file.c_str(), m_file.c_str()), 0);
  EXPECT_FALSE(open().WriteProfileInt(IDS_SECTION, zor::IDS_IO_TIMEOUT, 5));
  EXPECT_TRUE(std::filesystem::is_symlink(m_file));
}

}  // namespace
