#pragma once
// What both halves of bench_windows share: CPU clocks, the target lines and
// the scenario filter.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench_windows {

inline double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Every thread of the process, the workers included.
inline double process_cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

inline double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

struct Target {
  std::string name;
  double value;
  double goal;
  bool at_least;
};

// --only: a scenario runs when its name starts with the filter.
inline bool selected(const std::string& name, const std::string& only) {
  return only.empty() || name.rfind(only, 0) == 0;
}

// The brute-force and flood rows of the two parts (bf.cpp).
void bf_windows(const std::string& only, std::vector<Target>& targets);
void bf_intake(const std::string& only, std::vector<Target>& targets);

}  // namespace bench_windows
