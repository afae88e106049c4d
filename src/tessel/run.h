#pragma once
// One run of the service: the state of tessel_main and its phases. The
// phases live in startup.cpp (directories to settings and reference data),
// workers.cpp (detectors, workers, threads), training_launch.cpp (the
// per-host training processes and the classification host) and
// main_loop.cpp (the loop, the run's order and its end).
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/data/refdata.h"
#include "core/net/api_context.h"
#include "core/net/endpoints.h"
#include "core/workers/run_context.h"
#include "core/workers/settings_thread.h"
#include "shared/pyvalues/config_parser.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/child.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/paths.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"
#include "shared/runtime/shared_namespace.h"
#include "tessel/run_nsg.h"
#include "tessel/service.h"

namespace tessel::svc {

class Service {
 public:
  Service(Nsg& nsg, std::string conf_file, std::string conf_default, const RunOptions& opts);
  // The run is over: its workers see a pending restart and are told to end.
  ~Service();

  void run();

 private:
  void print(const std::string& line) const;
  void log(std::string_view level, std::string_view category, std::string_view text) const;
  // Sets the pending-restart flag, optionally logs the warning, waits.
  void restart_protocol(bool warn);
  std::int64_t now() const { return opts_.clock ? opts_.clock() : unix_now(); }
  void phase(int n) const {
    if (opts_.before_phase) opts_.before_phase(n);
  }
  // Starts a worker of this run; its body gets the run's stop token.
  ChildPtr start_worker(const char* name, std::function<void(std::stop_token)> body);
  void log_started(const char* name, const ChildPtr& child) const;

  // startup.cpp. Each phase that can end in a fatal stop returns false
  // after it.
  bool create_dirs();
  void set_defaults();
  void build_dataset_urls();
  void start_logging();
  bool read_config();
  bool configure();
  bool build_broker_list();
  bool build_api_endpoints();
  Json proxy_mapping(const char* option);
  void load_identity();
  void fetch_settings();
  void load_hosts();
  void apply_ddos_settings();
  void apply_bf_settings();
  void apply_schemix_settings();
  void load_reference_data();
  // The GeoIP files and the base64 white list, fetched and loaded again.
  void refresh_reference_data();
  // workers.cpp
  bool build_detectors();
  void start_workers();
  void start_threads();
  // training_launch.cpp
  void start_training();
  // main_loop.cpp
  [[noreturn]] void main_loop();

  Nsg& nsg_;
  // What the workers of this run get as the launcher's namespace.
  std::shared_ptr<RunNsg> run_nsg_;
  std::stop_source stop_;
  std::vector<ChildPtr> workers_;
  const std::string conf_file_;
  const std::string conf_default_;
  const RunOptions& opts_;
  const Subsystems& subs_;

  std::shared_ptr<SharedNamespace> nsi_;
  // Logging, the management-API context and addresses, paths, brokers,
  // identity, reference data, queues.
  core::RunContext run_;
  // The settings in force, the protected hosts, the detector switches and
  // the configured list files.
  core::SettingsState settings_;

  // Run-time defaults.
  std::int64_t asa_delay_ = 0;
  int ohl_loop_int_ = 3600;
  std::int64_t ohl_btime_ = 0;
  int training_period_days_default_ = 4;
  int ddos_interval_default_ = 120;
  int bf_max_val_default_ = 10;
  int bf_interval_default_ = 30;

  std::shared_ptr<ProcessLock> training_lock_;
  LockMap db_processing_lock_;

  // Dataset service.
  std::string base_rapi_url_;

  std::shared_ptr<LogService> log_service_;

  // The configuration file, kept for the look-ups of the settings phase.
  RawConfigParser config_parser_;

  std::int64_t dataset_limit_ = 800000;
  bool distributed_mode_ = false;
  bool mls_ = false;

  // Settings from the management API.

  // Reference data.
  core::GeoData cc_data_;

  // Detectors and start-up exchanges.
  WindowDetectorPtr bf_m_;
  WindowDetectorPtr ddos_m_;
  WindowDetectorPtr oa_m_;
  MlDetectorPtr ml_m_;
};

}  // namespace tessel::svc
