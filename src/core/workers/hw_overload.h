#pragma once
// The hardware-overload watch: sets nsg.overload while the machine is
// overloaded, so that request intake spools instead of normalising.
//
// Rule (with hysteresis, so the flag does not flap):
//   overloaded when the 1-minute load average exceeds 2 per processor, or
//     less than 5 % of the memory is available;
//   no longer overloaded when the load average is below 1.5 per processor
//     and more than 10 % of the memory is available.
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

struct HwSample {
  double load1 = 0;                      // 1-minute load average
  unsigned cpus = 1;                     // processors
  unsigned long long mem_total = 0;      // bytes
  unsigned long long mem_available = 0;  // bytes
};

// The state after a sample, given the state before it.
bool hw_overloaded(const HwSample& s, bool overloaded_before);

// The machine's current figures (/proc/loadavg, /proc/meminfo); none when
// they cannot be read.
std::optional<HwSample> hw_sample();

struct HwOverloadOptions {
  std::chrono::milliseconds period{5000};
  std::function<std::optional<HwSample>()> sample = hw_sample;
};

// Samples every period and sets nsg.overload when the state changes,
// logging the change. Runs until `stop`.
void hw_overload_check(Nsg& nsg, const LogSink& sink, const std::stop_token& stop, const HwOverloadOptions& opts = {});

}  // namespace tessel::core
