#pragma once
// Run options of a test run of the service against the management-API
// simulator: short waits, the log and model directories in `dir`.
#include <chrono>
#include <filesystem>
#include <string>

#include "support/mgmt_sim.h"
#include "support/temp_dir.h"
#include "tessel/service.h"

namespace tessel::testing {

inline svc::RunOptions service_run_options(const TempDir& dir, const MgmtSim& sim) {
  using namespace std::chrono_literals;
  svc::RunOptions opts;
  opts.restart_wait = 50ms;
  opts.loop_pause = 10ms;
  opts.settings_period = std::chrono::hours(1);
  opts.log_root = dir.file("log") + "/";
  opts.models_root = dir.file("ml") + "/";
  opts.refdata.dataset_base_url = sim.dataset_base();
  opts.print = [](const std::string&) {};
  // The load of a busy test machine must not turn intake to spooling.
  opts.hw_sample = [] { return std::optional<core::HwSample>(); };
  std::filesystem::create_directory(dir.file("log"));
  std::filesystem::create_directory(dir.file("ml"));
  return opts;
}

}  // namespace tessel::testing
