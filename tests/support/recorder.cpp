#include "support/recorder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace zor_test {

void LogRecorder::callback(long context, int kind, const void* data, unsigned long size) {
  auto* self = reinterpret_cast<LogRecorder*>(context);
  LogRecord r{kind, size, {}};
  if (data != nullptr && size > 0) {
    auto* p = static_cast<const unsigned char*>(data);
    r.data.assign(p, p + size);
  }
  {
    std::lock_guard lock(self->m_mutex);
    self->m_records.push_back(std::move(r));
  }
  self->m_cv.notify_all();
}

std::vector<LogRecord> LogRecorder::records() const {
  std::lock_guard lock(m_mutex);
  return m_records;
}

std::vector<unsigned long> LogRecorder::events() const {
  std::lock_guard lock(m_mutex);
  std::vector<unsigned long> ids;
  for (auto& r : m_records)
    if (r.kind == zor::LOG_EVENT) ids.push_back(r.size);
  return ids;
}

std::size_t LogRecorder::countEvent(unsigned long id) const {
  std::size_t n = 0;
  for (auto e : events())
    if (e == id) ++n;
  return n;
}

std::vector<unsigned char> LogRecorder::bytes(int kind) const {
  std::lock_guard lock(m_mutex);
  std::vector<unsigned char> out;
  for (auto& r : m_records)
    if (r.kind == kind) out.insert(out.end(), r.data.begin(), r.data.end());
  return out;
}

bool LogRecorder::waitForEvent(unsigned long id, int milliseconds, std::size_t times) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
    std::size_t n = 0;
    for (auto& r : m_records)
      if (r.kind == zor::LOG_EVENT && r.size == id) ++n;
    return n >= times;
  });
}

bool waitUntil(const std::function<bool()>& pred, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<unsigned char> readBytes(zor::CDevice& device, std::size_t n, int milliseconds) {
  std::vector<unsigned char> out;
  unsigned char buf[4096];
  waitUntil(
      [&] {
        unsigned long got = device.ReadBuffer(buf, sizeof buf);
        out.insert(out.end(), buf, buf + got);
        return out.size() >= n;
      },
      milliseconds);
  return out;
}

std::vector<unsigned char> readSlowly(zor::CDevice& device, std::size_t n, std::size_t piece, int pauseMs,
                                      int milliseconds) {
  std::vector<unsigned char> out;
  std::vector<unsigned char> buf(piece);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    unsigned long got = device.ReadBuffer(buf.data(), static_cast<unsigned long>(piece));
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(got));
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return out;
}

std::vector<unsigned char> echoSlowly(zor::CDevice& device, const std::vector<unsigned char>& data,
                                      std::size_t piece, int pauseMs, int milliseconds) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t at = 0; at < data.size() && !stop;) {
      const auto n = static_cast<unsigned long>(std::min<std::size_t>(4096, data.size() - at));
      if (device.WriteBuffer(data.data() + at, n)) at += n;
    }
  });
  auto got = readSlowly(device, data.size(), piece, pauseMs, milliseconds);
  stop = true;
  writer.join();
  return got;
}

void addLogRecord(std::string& log, int kind, unsigned long ms, const std::vector<unsigned char>& data) {
  const std::string time = zor::CMonitorDlg::FormatTimestamp(ms), size = std::to_string(data.size());
  for (std::size_t i = 0; i < data.size(); i += 64) {
    std::string hex;
    char b[4];
    for (std::size_t j = i; j < std::min(i + 64, data.size()); ++j)
      hex.append(b, static_cast<std::size_t>(std::snprintf(b, sizeof b, "%.2x ", data[j])));
    log += zor::CMonitorDlg::FormatLine(kind + (i > 0), i ? "..." : time.c_str(), i ? "" : size.c_str(),
                                        hex.c_str());
  }
}

static int countEntries(const char* folder) {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

int threadCount() { return countEntries("/proc/self/task"); }
int fdCount() { return countEntries("/proc/self/fd"); }

// Every plain setting of theApp, once.
// clang-format off
#define ZOR_TEST_SETTINGS(X)                                                                         \
  X(m_ioTimeout) X(m_ioWriteTimeout) X(m_threadGranularity) X(m_lockTimeout) X(m_showMonitor)      \
  X(m_monitorView) X(m_filterRX) X(m_filterTX) X(m_filterSent) X(m_pauseOnExit) X(m_truePlayback) \
  X(m_filterRcv) X(m_writesBeforeXoff) X(m_panicResume) X(m_xProtocolOverride)                    \
  X(m_connectionTimeout) X(m_autoresumeTimer) X(m_maxComPort)
// clang-format on

struct SettingsScope::Saved {
#define ZOR_SAVE_FIELD(name) decltype(zor::CZORApp::name) name = zor::theApp.name;
  ZOR_TEST_SETTINGS(ZOR_SAVE_FIELD)
#undef ZOR_SAVE_FIELD
};

SettingsScope::SettingsScope() : m_saved(new Saved) {}

SettingsScope::~SettingsScope() {
#define ZOR_RESTORE_FIELD(name) zor::theApp.name = m_saved->name;
  ZOR_TEST_SETTINGS(ZOR_RESTORE_FIELD)
#undef ZOR_RESTORE_FIELD
  delete m_saved;
}

TestEnv::TestEnv() {
  m_settings->m_monitorView = 0;
  m_settings->m_filterRX = m_settings->m_filterTX = m_settings->m_filterRcv = m_settings->m_filterSent =
      false;
  m_settings->m_pauseOnExit = m_settings->m_showMonitor = false;
  m_settings->m_truePlayback = true;
  m_settings->m_threadGranularity = 2;
  m_settings->m_ioTimeout = 50;
  m_settings->m_ioWriteTimeout = 500;
}

}  // namespace zor_test
