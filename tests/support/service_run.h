#pragma once
// Test runs of the service against the management-API simulator and a broker
// virtual host of the test's own: run options with short waits, the settings
// answers, the configuration file, a stand-in for the WAF publishing on its
// queue, and a window detector that ends the run.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/detector.h"
#include "support/broker.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"
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

// The simulator answers `settings` (hash "h1") and the host list `vhosts`.
void answer_settings(MgmtSim& sim, const Json& settings, const Json& vhosts = Json::array());

// Writes dir/tessel.conf for a run against the simulator's API and the
// broker at `b`, `extra` appended; returns its path.
std::string write_service_conf(const TempDir& dir, const MgmtSim& sim, const BrokerAddress& b, bool debug = false,
                               const std::string& extra = "");

// The WAF: publishes `batch(n)` on the queue "vexa" of the broker at `url`,
// n = 0, 1, ..., one batch every `period`, each message stamped with the
// current time, from its own thread until destroyed.
class WafPublisher {
 public:
  WafPublisher(std::string url, std::function<std::vector<WafRequest>(int n)> batch, std::chrono::milliseconds period);
  ~WafPublisher();
  WafPublisher(const WafPublisher&) = delete;
  WafPublisher& operator=(const WafPublisher&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Stands in for the schema-generation host, or wraps it (`inner`), and ends
// the run on the first main-loop pass where `done` holds; `cap` bounds a run
// that never gets there (a loaded machine is slow to).
struct RunStopper : WindowDetector {
  std::function<bool()> done;
  WindowDetectorPtr inner;
  std::chrono::steady_clock::duration cap = std::chrono::minutes(2);
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;
};

// Runs the service on `conf` until it is interrupted.
void run_service(const std::string& conf, const svc::RunOptions& opts);

}  // namespace tessel::testing
