// Where the settings file lives and what a "COMn" name stands for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "support/process.h"
#include "zor/platform/platform.h"

namespace {

// Sets or clears environment variables for one test and puts them back after.
class Env : public ::testing::Test {
protected:
  void set(const char* name, const char* value) {
    if (m_saved.find(name) == m_saved.end()) {
      const char* old = std::getenv(name);
      m_saved[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  void TearDown() override {
    for (auto& [name, value] : m_saved)
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
  }

private:
  std::map<std::string, std::optional<std::string>> m_saved;
};

TEST_F(Env, SettingsFileLocation) {
  set("ZOR_CONFIG", "/x/y/zor.ini");
  set("XDG_CONFIG_HOME", "/xdg");
  set("HOME", "/home/someone");
  EXPECT_EQ(zor::settingsFilePath(), "/x/y/zor.ini");
  EXPECT_EQ(zor::portLinkFolder(), "/x/y/ports");

  set("ZOR_CONFIG", "");
  EXPECT_EQ(zor::settingsFilePath(), "/xdg/zor/zor.ini");
  set("ZOR_CONFIG", nullptr);
  EXPECT_EQ(zor::settingsFilePath(), "/xdg/zor/zor.ini");
  EXPECT_EQ(zor::portLinkFolder(), "/xdg/zor/ports");

  set("XDG_CONFIG_HOME", "");
  EXPECT_EQ(zor::settingsFilePath(), "/home/someone/.config/zor/zor.ini");
  set("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(zor::settingsFilePath(), "/home/someone/.config/zor/zor.ini");

  set("HOME", nullptr);  // the account's home folder instead
  std::string path = zor::settingsFilePath();
  EXPECT_EQ(path.substr(path.size() - std::string("/.config/zor/zor.ini").size()), "/.config/zor/zor.ini");
}

TEST_F(Env, ComNamesResolveThroughTheLinkFolder) {
  std::string folder = zortest::scratchFolder("ComNames");
  set("ZOR_CONFIG", (folder + "/zor.ini").c_str());
  std::filesystem::create_directories(folder + "/ports");
  ASSERT_EQ(symlink("/dev/ttyUSB7", (folder + "/ports/COM5").c_str()), 0);
  ASSERT_EQ(symlink("../dev/thing", (folder + "/ports/COM6").c_str()), 0);

  EXPECT_EQ(zor::resolveComName("COM5"), "/dev/ttyUSB7");
  EXPECT_EQ(zor::resolveComName("COM6"), folder + "/ports/../dev/thing");
  EXPECT_EQ(zor::resolveComName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(zor::resolveComName("COM12"), "/dev/ttyS11");
  for (const char* bad : {"COM", "COM0", "COM01", "COM1x", "COM-1", "LPT1", "com1", "", "COM99999999999"})
    EXPECT_EQ(zor::resolveComName(bad), "") << bad;
  EXPECT_EQ(zor::resolveComName(nullptr), "");
}

}  // namespace
