// Helpers for the monitor and playback tests: a private settings file and
// scratch folder per test, a logger that keeps every record, bounded waits.
#pragma once

#include <zor/zor.h>

#include <functional>
#include <mutex>
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

struct Record {
  int kind;
  std::vector<unsigned char> bytes;  // empty for events
  unsigned long size;
};

// A logger that keeps what it receives. Install with
// device.InstallLogger(RecordLog::Callback, log.context()).
class RecordLog {
 public:
  static void Callback(long context, int kind, const void* data, unsigned long size);
  long context() { return reinterpret_cast<long>(this); }
  std::vector<Record> records() const;
  std::vector<Record> ofKind(int kind) const;
  // All bytes of the records of one kind, in order.
  std::vector<unsigned char> bytesOfKind(int kind) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<Record> m_records;
};

// Polls pred every 2 ms until it holds or ms have passed; returns pred().
bool waitFor(const std::function<bool()>& pred, unsigned ms = 3000);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Reads what arrives on dev until count bytes are there or ms have passed.
std::vector<unsigned char> receive(CDevice& dev, std::size_t count, unsigned ms = 3000);

}  // namespace zor::testkit
