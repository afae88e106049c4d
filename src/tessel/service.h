#pragma once
// The service main: tessel_main and its start-up phases.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "shared/interrupt.h"
#include "shared/nsg.h"

namespace tessel::svc {

struct RunOptions {
  // The wait of the restart protocol.
  std::chrono::milliseconds restart_wait{std::chrono::seconds(120)};
  // The pause between main-loop passes.
  std::chrono::milliseconds loop_pause{std::chrono::seconds(5)};
  // Called during long waits of the calling thread; throws Interrupted.
  InterruptCheck check_interrupt;
  // Writes one line on standard output (the launcher's stream).
  std::function<void(const std::string&)> print;
  // Fixed directories, overridable for tests and local runs.
  std::string log_root = "/var/log/vexa/";
  std::string models_root = "/opt/tessel/ml/";
  // Base URL of the dataset service.
  std::string dataset_base_url = "https://rapi.corvane.ai/vx";

  // Defaults with the environment overrides TESSEL_LOG_DIR, TESSEL_ML_DIR and
  // TESSEL_DATASET_URL.
  static RunOptions from_env();
};

// Runs the service. Returns only after a fatal stop (restart protocol); an
// error outside the guarded steps leaves as that error, and an interruption
// as Interrupted.
void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts);

}  // namespace tessel::svc
