#include "core/workers/hw_overload.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/base/log.h"
#include "shared/runtime/interrupt.h"

namespace tessel::core {

bool hw_overloaded(const HwSample& s, bool overloaded_before) {
  const double cpus = s.cpus > 0 ? s.cpus : 1;
  const double mem_share =
      s.mem_total > 0 ? static_cast<double>(s.mem_available) / static_cast<double>(s.mem_total) : 1.0;
  if (overloaded_before) return !(s.load1 < 1.5 * cpus && mem_share > 0.10);
  return s.load1 > 2.0 * cpus || mem_share < 0.05;
}

std::optional<HwSample> hw_sample() {
  HwSample s;
  std::ifstream load("/proc/loadavg");
  if (!(load >> s.load1)) return std::nullopt;
  std::ifstream mem("/proc/meminfo");
  std::string line;
  bool total = false, available = false;
  while (std::getline(mem, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "MemTotal: %llu kB", &kb) == 1) {
      s.mem_total = kb * 1024;
      total = true;
    } else if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kb) == 1) {
      s.mem_available = kb * 1024;
      available = true;
    }
  }
  if (!total || !available) return std::nullopt;
  s.cpus = std::max(1u, std::thread::hardware_concurrency());
  return s;
}

namespace {
std::string describe(const HwSample& s) {
  const double pct =
      s.mem_total > 0 ? 100.0 * static_cast<double>(s.mem_available) / static_cast<double>(s.mem_total) : 100.0;
  char buf[160];
  std::snprintf(buf, sizeof buf, "load average %.2f on %u processor(s), %.1f%% of the memory available", s.load1,
                s.cpus, pct);
  return buf;
}
}  // namespace

void hw_overload_check(Nsg& nsg, const LogSink& sink, const std::stop_token& stop, const HwOverloadOptions& opts) {
  std::optional<bool> state;
  while (!stop.stop_requested()) {
    try {
      if (auto s = opts.sample ? opts.sample() : std::nullopt) {
        if (!state) state = nsg.overload();
        const bool now = hw_overloaded(*s, *state);
        if (now != *state) {
          nsg.set_overload(now);
          state = now;
          if (now) {
            log_processing(sink, "warn", "os", "Hardware overload: " + describe(*s));
          } else {
            log_processing(sink, "info", "os", "Hardware overload is over: " + describe(*s));
          }
        }
      }
    } catch (const std::exception& e) {
      log_processing(sink, "error", "os", std::string("An error occurred in hw_overload_check: ") + e.what());
    }
    sleep_or_stop(opts.period, stop);
  }
}

}  // namespace tessel::core
