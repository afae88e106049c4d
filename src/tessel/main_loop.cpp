// The main loop of one run, the order of its phases and its end.
#include <algorithm>
#include <chrono>
#include <iostream>

#include "core/base/log.h"
#include "core/data/refdata.h"
#include "core/workers/feeder.h"
#include "shared/runtime/allocator.h"
#include "tessel/paths.h"
#include "tessel/run.h"

namespace tessel::svc {

Service::Service(Nsg& nsg, std::string conf_file, std::string conf_default, const RunOptions& opts)
    : nsg_(nsg),
      run_nsg_(std::make_shared<RunNsg>(nsg)),
      conf_file_(std::move(conf_file)),
      conf_default_(std::move(conf_default)),
      opts_(opts),
      subs_(opts.subsystems) {}

void Service::print(const std::string& line) const {
  if (opts_.print) {
    opts_.print(line);
  } else {
    std::cout << line << std::endl;
  }
}

void Service::log(std::string_view level, std::string_view category, std::string_view text) const {
  core::log_processing(run_.sink, level, category, text);
}

void Service::restart_protocol(bool warn) {
  nsg_.set_restart_signal(true);
  if (warn) log("warn", "os", "Restart signal received, waiting for service restart");
  interruptible_sleep(opts_.restart_wait, opts_.check_interrupt);
}

void Service::log_started(const char* name, const ChildPtr& child) const {
  if (run_.sink.debug)
    log("debug", "os", std::string(name) + " is running (PID: " + std::to_string(child->pid()) + ")");
}

void Service::main_loop() {
  auto& q = run_.queues;
  for (;;) {
    try {
      const std::int64_t ohl_ctime = now();
      const std::int64_t ohl_delta = ohl_ctime - ohl_btime_;
      if (ohl_delta > ohl_loop_int_) {
        refresh_reference_data();
        ohl_btime_ = ohl_ctime;
      }
      core::mp_queue_size(*q.q_aad, "q_aad", run_.sink);
      core::mp_queue_size(*q.q_api, "q_api", run_.sink);
      core::mp_queue_size(*q.q_attack_api, "q_attack_api", run_.sink);
      core::mp_queue_size(*q.q_attack_bd, "q_attack_bd", run_.sink);
      core::mp_queue_size(*q.q_ec, "q_ec", run_.sink);
      core::mp_queue_size(*q.q_geoip, "q_geoip", run_.sink);
      core::mp_queue_size(*q.q_local, "q_local", run_.sink);
      core::mp_queue_size(*log_service_->q_log, "q_log", run_.sink);
      core::mp_queue_size(*q.q_mt_api, "q_mt_api", run_.sink);
      core::local_queue_processing(
          core::FeederContext{run_nsg_, nsi_, db_processing_lock_, cc_data_, run_.sink},
          core::FeederDetectors{.ddos = ddos_m_, .bf = bf_m_, .ml = ml_m_, .oa = oa_m_, .on = settings_.detectors},
          *q.q_local, *q.q_geoip);
      interruptible_sleep(opts_.loop_pause, opts_.check_interrupt);
    } catch (const std::exception& e) {
      log("error", "misc", std::string("An error occurred in main module while processing the data: ") + e.what());
      interruptible_sleep(opts_.loop_pause, opts_.check_interrupt);
    }
  }
}

void Service::run() {
  // 1. the shared namespace
  phase(1);
  nsi_ = std::make_shared<SharedNamespace>();
  // 2. paths and directories
  phase(2);
  run_.paths = derive_paths(conf_file_, conf_default_, opts_.log_root, opts_.models_root);
  if (!create_dirs()) {
    nsg_.set_restart_signal(true);
    interruptible_sleep(opts_.restart_wait, opts_.check_interrupt);
    return;
  }
  // 3. run-time defaults and the namespace's first values
  phase(3);
  set_defaults();
  // 4. queues and locks
  phase(4);
  run_.queues = ProcessQueues{};
  training_lock_ = std::make_shared<ProcessLock>();
  db_processing_lock_.clear();
  // 5. dataset-service addresses
  phase(5);
  build_dataset_urls();
  // 6. logging
  phase(6);
  start_logging();
  // 7. the configuration file
  phase(7);
  if (!read_config()) return;
  // 8 to 10. broker list, management API, settings (one guard)
  phase(8);
  if (!configure()) return;
  // 11. reference data
  phase(11);
  load_reference_data();
  // 12. detectors and start-up exchanges
  phase(12);
  if (!build_detectors()) return;
  // 13. request intake, the senders and the GeoIP thread
  phase(13);
  start_workers();
  // 14. per-host training and the classification host
  phase(14);
  if (!settings_.mlvh_list.empty()) start_training();
  // 15. the settings-update and hardware-overload threads
  phase(15);
  start_threads();
  // 16. the main loop
  phase(16);
  main_loop();
}

Service::~Service() {
  run_nsg_->end();
  stop_.request_stop();
  const auto deadline = std::chrono::steady_clock::now() + opts_.worker_join_wait;
  for (auto& w : workers_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    w->join(std::max(left, std::chrono::milliseconds(0)));
  }
}

void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts) {
  tune_allocator_for_batches();
  Service s(nsg, tessel_conf_file, tessel_conf_default, opts);
  s.run();
}

}  // namespace tessel::svc
