#include "support/trafficlog_testkit.h"

#include "zor/platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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

void RecordLog::Callback(long context, int kind, const void* data, unsigned long size) {
  auto* self = reinterpret_cast<RecordLog*>(context);
  Record r{kind, {}, size};
  if (data != nullptr) {
    const auto* b = static_cast<const unsigned char*>(data);
    r.bytes.assign(b, b + size);
  }
  std::lock_guard<std::mutex> lock(self->m_mutex);
  self->m_records.push_back(std::move(r));
}

std::vector<Record> RecordLog::records() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records;
}

std::vector<Record> RecordLog::ofKind(int kind) const {
  std::vector<Record> out;
  for (auto& r : records())
    if (r.kind == kind) out.push_back(r);
  return out;
}

std::vector<unsigned char> RecordLog::bytesOfKind(int kind) const {
  std::vector<unsigned char> out;
  for (auto& r : ofKind(kind)) out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  return out;
}

bool waitFor(const std::function<bool()>& pred, unsigned ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

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

std::vector<unsigned char> receive(CDevice& dev, std::size_t count, unsigned ms) {
  std::vector<unsigned char> got;
  waitFor(
      [&] {
        unsigned char buf[4096];
        unsigned long n = dev.ReadBuffer(buf, sizeof buf);
        got.insert(got.end(), buf, buf + n);
        return got.size() >= count;
      },
      ms);
  return got;
}

}  // namespace zor::testkit
