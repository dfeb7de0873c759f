// Test helpers: a logger that records what a device reports, bounded waits,
// a scope that restores the library-wide settings a test changes, and a
// private settings file per test.
#pragma once

#include <zor/zor.h>

#include "support/process.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zor_test {

struct LogRecord {
  int kind;
  unsigned long size;
  std::vector<unsigned char> data;
};

class LogRecorder {
public:
  static void callback(long context, int kind, const void* data, unsigned long size);
  void attach(zor::CDevice& device) { device.InstallLogger(&callback, reinterpret_cast<long>(this)); }

  std::vector<LogRecord> records() const;
  std::vector<unsigned long> events() const;
  std::size_t countEvent(unsigned long id) const;
  // Concatenated data of every record of this kind.
  std::vector<unsigned char> bytes(int kind) const;
  // Waits (bounded) until the event has been logged `times` times.
  bool waitForEvent(unsigned long id, int milliseconds, std::size_t times = 1) const;

private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<LogRecord> m_records;
};

// Polls pred every few milliseconds until it holds or the time is up.
bool waitUntil(const std::function<bool()>& pred, int milliseconds);

// Reads from the device until n bytes came or the time is up.
std::vector<unsigned char> readBytes(zor::CDevice& device, std::size_t n, int milliseconds);

// Reads like an application that cannot keep up: at most piece bytes a call,
// pauseMs between calls, until n bytes came or the time is up.
std::vector<unsigned char> readSlowly(zor::CDevice& device, std::size_t n, std::size_t piece, int pauseMs,
                                      int milliseconds);

// Writes data to the device from a thread of its own (retrying a write that
// found no room in time) while reading it back with readSlowly; returns what
// came back.
std::vector<unsigned char> echoSlowly(zor::CDevice& device, const std::vector<unsigned char>& data,
                                      std::size_t piece, int pauseMs, int milliseconds);

// Appends one record as the monitor's hexadecimal view logs it (kind 0 TX,
// 2 RX), 64 bytes a row: a traffic log for a playback device to replay.
void addLogRecord(std::string& log, int kind, unsigned long ms, const std::vector<unsigned char>& data);

// Threads of this process, from /proc/self/task.
int threadCount();
// Open file descriptors of this process, from /proc/self/fd.
int fdCount();

// The one way tests change library settings: every setting of theApp is put
// back when the scope goes. Change them through the scope: settings->m_ioTimeout = 30.
class SettingsScope {
public:
  SettingsScope();
  ~SettingsScope();
  SettingsScope(const SettingsScope&) = delete;
  SettingsScope& operator=(const SettingsScope&) = delete;
  zor::CZORApp* operator->() const { return &zor::theApp; }

private:
  struct Saved;
  Saved* m_saved;
};

// The flow bytes the device tests use (not the ASCII pair, so that they are
// never mistaken for a medium's own handshake).
constexpr unsigned char kXon = 0xA1, kXoff = 0xA0;

// A fresh folder that holds this test's settings file (ZOR_CONFIG points at
// it while the object lives) and its scratch files. Also puts the
// process-wide options back to their defaults and shortens the waits.
class TestEnv {
public:
  TestEnv();
  std::string path(const std::string& name) const { return m_cfg.folder + "/" + name; }

private:
  SettingsScope m_settings;
  zortest::ScopedSettingsFile m_cfg;
};

}  // namespace zor_test
