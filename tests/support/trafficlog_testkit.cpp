#include "support/trafficlog_testkit.h"

#include "zor/platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace zor::testkit {

namespace fs = std::filesystem;

TestEnv::TestEnv() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100 && m_dir.empty(); ++attempt) {
    fs::path dir = fs::temp_directory_path() / ("zor-test-" + std::to_string(rd()));
    if (fs::create_directory(dir)) m_dir = dir.string();
  }
  if (m_dir.empty()) ADD_FAILURE() << "no scratch folder";
  SetEnvironmentVariableA("ZOR_CONFIG", settingsFile().c_str());

  theApp.m_monitorView = 0;
  theApp.m_filterRX = theApp.m_filterTX = theApp.m_filterRcv = theApp.m_filterSent = false;
  theApp.m_pauseOnExit = false;
  theApp.m_truePlayback = true;
  theApp.m_showMonitor = false;
  theApp.m_threadGranularity = 2;
  theApp.m_ioTimeout = 50;
  theApp.m_ioWriteTimeout = 500;
}

TestEnv::~TestEnv() {
  std::error_code ec;
  if (!m_dir.empty()) fs::remove_all(m_dir, ec);
}

std::string TestEnv::path(const std::string& name) const { return (fs::path(m_dir) / name).string(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace zor::testkit
