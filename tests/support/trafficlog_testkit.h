// Helpers for the monitor and playback tests: a private settings file and
// scratch folder per test (loggers and waits are in recorder.h).
#pragma once

#include <zor/zor.h>

#include <string>
#include <vector>

namespace zor::testkit {

// A fresh folder that holds this test's settings file (ZOR_CONFIG points at
// it while the object lives) and its scratch files. Also puts the
// process-wide options back to their defaults and shortens the waits.
class TestEnv {
public:
  TestEnv();
  ~TestEnv();
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;
  std::string path(const std::string& name) const;
  std::string settingsFile() const { return path("zor.ini"); }

private:
  std::string m_dir;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace zor::testkit
