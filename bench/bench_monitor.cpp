// Monitor and playback figures: records per second through the monitor (hex
// view, 64-byte records) with the traffic log file on and off, and the load
// time and memory of a playback device opening a 100 000-row log.
// One "name value unit" line per figure.
#include <zor/zor.h>

#include "zor/platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace zor;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// kB from a "Name:   123 kB" line of /proc/self/status; -1 when unknown.
long statusKb(const char* name) {
  std::ifstream in("/proc/self/status");
  const std::string key = std::string(name) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// Restarts the peak-memory mark, where the kernel allows it.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void recordsPerSecond(const fs::path& dir, const char* name, bool toFile, bool paused) {
  CDevNull dev;
  CMonitorDlg* mon = dev.Monitor();
  mon->SetView(MONITOR_VIEW_HEX);
  fs::path file = dir / (std::string(name) + ".txt");
  if (toFile) mon->ToggleLogFile(file.c_str());
  if (paused) mon->TogglePause();
  std::vector<unsigned char> record(64);
  for (int i = 0; i < 64; ++i) record[i] = static_cast<unsigned char>(i * 37);
  const long context = reinterpret_cast<long>(mon);
  const int count = 200000;
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) CMonitorDlg::LogCallback(context, LOG_TX, record.data(), record.size());
  mon->Flush();  // the writer's share counts: records through to the list and the file
  double elapsed = seconds(Clock::now() - start);
  if (toFile) mon->ToggleLogFile(nullptr);
  if (mon->RecordsProcessed() != static_cast<unsigned long long>(count))
    std::fprintf(stderr, "%s: %llu records processed\n", name, mon->RecordsProcessed());
  std::printf("%s %.0f records/s\n", name, count / elapsed);
  if (toFile) std::printf("%s_file_size %.1f MB\n", name, static_cast<double>(fs::file_size(file)) / 1e6);
}

// 100 000 rows as the monitor writes them in the hexadecimal view: an
// exchange of a 16-byte write and a 64-byte answer, every 100th answer a
// record of 200 bytes over four rows.
void writeLog(const fs::path& file, int rows) {
  std::ofstream out(file, std::ios::binary);
  auto bytes = [](int n, int seed) {
    std::string s;
    char buf[4];
    for (int i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%.2x ", (seed + i * 13) & 0xff);
      s += buf;
    }
    return s;
  };
  unsigned long t = 0;
  int written = 0;
  for (int i = 0; written < rows; ++i) {
    t += 20;
    std::string time = CMonitorDlg::FormatTimestamp(t);
    out << "<<TX\t" << time << "\t16\t" << bytes(16, i) << "\r\n";
    ++written;
    time = CMonitorDlg::FormatTimestamp(t + 10);
    if (i % 100 == 99) {
      out << ">>RX\t" << time << "\t200\t" << bytes(64, i) << "\r\n";
      out << ">>..\t...\t\t" << bytes(64, i + 1) << "\r\n";
      out << ">>..\t...\t\t" << bytes(64, i + 2) << "\r\n";
      out << ">>..\t...\t\t" << bytes(8, i + 3) << "\r\n";
      written += 4;
    } else {
      out << ">>RX\t" << time << "\t64\t" << bytes(64, i) << "\r\n";
      ++written;
    }
  }
}

void playbackLoad(const fs::path& dir) {
  const int rows = 100000;
  fs::path file = dir / "playback.txt";
  writeLog(file, rows);
  std::printf("playback_log_size %.1f MB\n", static_cast<double>(fs::file_size(file)) / 1e6);
  long before = statusKb("VmRSS");
  resetPeak();
  CDevPlayback dev(file.c_str());
  auto start = Clock::now();
  bool ok = dev.OpenDevice(0, 8192, 8192);
  double elapsed = seconds(Clock::now() - start);
  long peak = statusKb("VmHWM");
  if (!ok) std::fprintf(stderr, "playback: open failed\n");
  std::printf("playback_load_100k_rows %.3f s\n", elapsed);
  if (before >= 0 && peak >= 0) {
    std::printf("playback_load_peak_rss %.1f MB\n", peak / 1024.0);
    std::printf("playback_load_peak_growth %.1f MB\n", (peak - before) / 1024.0);
  }
  dev.CloseDevice();
}

}  // namespace

int main() {
  fs::path dir = fs::temp_directory_path() / "zor-bench-monitor";
  fs::create_directories(dir);
  // Keep the user's settings out of it: the monitor stores its options.
  fs::path config = dir / "zor.ini";
  std::string env = config.string();
  SetEnvironmentVariableA("ZOR_CONFIG", env.c_str());

  playbackLoad(dir);
  recordsPerSecond(dir, "monitor_hex64_to_file_list_paused", true, true);
  recordsPerSecond(dir, "monitor_hex64_to_file_with_list", true, false);
  recordsPerSecond(dir, "monitor_hex64_file_off_with_list", false, false);
  recordsPerSecond(dir, "monitor_hex64_file_off_list_paused", false, true);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
