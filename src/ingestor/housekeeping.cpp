#include <thread>

#include "core/base/log.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

std::string child_text(const Child& child) {
  return "<Child " + child.name() + " pid=" + std::to_string(child.pid()) + (child.done() ? " stopped" : " started") +
         ">";
}

namespace {
unsigned cpu_count_of(const IntakeOptions& opts) {
  if (opts.cpu_count > 0) return opts.cpu_count;
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}
}  // namespace

std::pair<ChildEntries, std::int64_t> processes_control(const std::string& pprfx, ChildEntries processes,
                                                        std::int64_t pttl, const LogSink& sink,
                                                        const IntakeOptions& opts) {
  try {
    if (opts.clock() <= pttl) return {std::move(processes), pttl};
    pttl = opts.clock() + opts.housekeeping_period;

    const ChildEntries reap = processes;
    for (const auto& entry : reap) {
      try {
        if (entry.child->is_alive()) continue;
        entry.child->join(std::chrono::seconds(1));
        ChildEntries kept;
        kept.reserve(processes.size());
        for (auto& e : processes)
          if (e.child != entry.child) kept.push_back(std::move(e));
        processes = std::move(kept);
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "os",
                             "An error occurred while join process " + child_text(*entry.child) + ": " + e.what());
      }
    }

    const ChildEntries aged = processes;
    for (const auto& entry : aged) {
      try {
        const std::int64_t age = opts.clock() - entry.start;
        if (entry.child->is_alive() && age > opts.long_run_limit) {
          core::log_processing(sink, "warn", "os",
                               pprfx + ": process " + std::to_string(entry.child->pid()) + " takes more than " +
                                   std::to_string(age) + " sec.");
        }
      } catch (const std::exception& e) {
        core::log_processing(
            sink, "error", "os",
            "An error occurred while processing " + pprfx + " time " + child_text(*entry.child) + ": " + e.what());
      }
    }

    if (processes.size() > static_cast<std::size_t>(cpu_count_of(opts)) * 8) {
      core::log_processing(sink, "warn", "os", pprfx + ": " + std::to_string(processes.size()) + " active processes");
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", std::string("An error occurred in processes_control: ") + e.what());
  }
  return {std::move(processes), pttl};
}

}  // namespace tessel::ingestor
