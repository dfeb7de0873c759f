// Shared pieces of the benchmarks: clocks, percentiles and a process CPU meter.
// Standard headers only, so that it mixes with the platform layer's socket names.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point t) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

inline double secondsSince(Clock::time_point t) { return usSince(t) / 1e6; }

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// name_p50 and name_p99 in microseconds; a comment line instead when nothing was measured,
// so that a missing figure is seen rather than read as 0.
inline void printPercentilesUs(const std::string& name, const std::vector<double>& us) {
  if (us.empty()) {
    std::printf("# %s: no samples\n", name.c_str());
    return;
  }
  std::printf("%s_p50 %.1f us\n", name.c_str(), percentile(us, 0.50));
  std::printf("%s_p99 %.1f us\n", name.c_str(), percentile(us, 0.99));
}

// The whole process's CPU time against the wall clock: percent of one core.
class CpuMeter {
public:
  CpuMeter() : m_cpu0(processCpuSeconds()), m_wall0(Clock::now()) {}
  double percent() const { return 100.0 * (processCpuSeconds() - m_cpu0) / secondsSince(m_wall0); }

private:
  static double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  double m_cpu0;
  Clock::time_point m_wall0;
};

// CPU of the process while the calling thread only sleeps: what whatever else
// is running (idle devices, reference threads) costs.
inline double idleWindowCpuPercent(double seconds) {
  CpuMeter meter;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return meter.percent();
}

// One request-answer path under test; trip(i) makes exchange i and checks the answer.
struct TripPath {
  TripPath(std::string n, std::function<bool(int)> t) : name(std::move(n)), trip(std::move(t)) {}
  std::string name;
  std::function<bool(int)> trip;
  std::vector<double> us;
  bool failed = false;
};

// Runs the paths' trips in turns, a round at a time, so that every path sees
// the same state of a shared machine; each round of a path is bounded in
// count and time, and a path that fails once is left out from then on.
inline void runTripsInRounds(std::vector<TripPath>& paths, int rounds, int tripsPerRound, int warmup,
                             double secondsPerRound) {
  int trip = 0;
  for (int r = 0; r < rounds; ++r)
    for (auto& path : paths) {
      auto start = Clock::now();
      for (int i = 0; !path.failed && i < warmup + tripsPerRound && secondsSince(start) < secondsPerRound;
           ++i) {
        auto t = Clock::now();
        if (!path.trip(trip++)) {
          std::fprintf(stderr, "%s: an exchange did not complete\n", path.name.c_str());
          path.failed = true;
          break;
        }
        if (i >= warmup) path.us.push_back(usSince(t));
      }
    }
  for (auto& path : paths) printPercentilesUs(path.name, path.us);
}

inline void printCpu(const char* name, double percent) {
  std::printf("%s %.3f %% of one core\n", name, percent);
}

}  // namespace bench
