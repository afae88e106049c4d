#include "tessel/service.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "core/log.h"
#include "core/schemas.h"
#include "shared/child.h"
#include "shared/json.h"
#include "shared/lock.h"
#include "shared/logging.h"
#include "shared/queues.h"
#include "shared/shared_namespace.h"
#include "tessel/paths.h"

namespace tessel::svc {

RunOptions RunOptions::from_env() {
  RunOptions o;
  if (const char* v = std::getenv("TESSEL_LOG_DIR"); v && *v) o.log_root = v;
  if (const char* v = std::getenv("TESSEL_ML_DIR"); v && *v) o.models_root = v;
  return o;
}

namespace {

// One run of the service: the locals of tessel_main.
class Service {
 public:
  Service(Nsg& nsg, std::string conf_file, std::string conf_default, const RunOptions& opts)
      : nsg_(nsg), conf_file_(std::move(conf_file)), conf_default_(std::move(conf_default)), opts_(opts) {}

  void run();

 private:
  void print(const std::string& line) {
    if (opts_.print) {
      opts_.print(line);
    } else {
      std::cout << line << std::endl;
    }
  }
  void log(std::string_view level, std::string_view category, std::string_view text) {
    core::log_processing(*queues_.q_ec, *log_, level, category, text);
  }
  // Sets the pending-restart flag, optionally logs the warning, waits.
  void restart_protocol(bool warn) {
    nsg_.set_restart_signal(true);
    if (warn) log("warn", "os", "Restart signal received, waiting for service restart");
    interruptible_sleep(opts_.restart_wait, opts_.check_interrupt);
  }

  bool create_dirs();
  void set_defaults();
  void start_logging();
  [[noreturn]] void main_loop();

  Nsg& nsg_;
  const std::string conf_file_;
  const std::string conf_default_;
  const RunOptions& opts_;

  std::shared_ptr<SharedNamespace> nsi_;
  Paths paths_;

  // Run-time defaults.
  int asa_delay_ = 0;
  int oa_loop_int_ = 180;
  int ohl_loop_int_ = 3600;
  std::int64_t ohl_btime_ = 0;
  std::string key_;
  bool debug_ = false;
  bool ai_extra_ = false;
  std::string tessel_rmq_q_ = "tessel";
  int training_period_days_default_ = 4;
  int ddos_interval_default_ = 120;
  int bf_max_val_default_ = 10;
  int bf_interval_default_ = 30;

  ProcessQueues queues_;
  std::shared_ptr<ProcessLock> training_lock_;
  LockMap db_processing_lock_;
  std::shared_ptr<LogService> log_service_;
  Logger* log_ = nullptr;
};

bool Service::create_dirs() {
  for (const auto& dir : paths_.tessel_dirs) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) continue;
    if (::mkdir(dir.c_str(), 0777) != 0) {
      const int err = errno;
      // Created meanwhile by someone else: not a failure.
      if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      print("An error occurred while creating directory " + dir + ": [Errno " + std::to_string(err) + "] " +
            std::strerror(err) + ": '" + dir + "'");
      return false;
    }
  }
  return true;
}

void Service::set_defaults() {
  ohl_btime_ = unix_now();
  auto& nsi = *nsi_;
  nsi.set("b64wl", Json::array());
  nsi.set("rmq_vexa_dir", Json(paths_.rmq_vexa_dir));
  nsi.set("tessel_b64wl_db", Json(paths_.tessel_b64wl_db));
  nsi.set("ddos_wl_ip_list", Json::array());
  nsi.set("ddos_wl_url_list", Json::array());
  nsi.set("ddos_latest_only", Json(false));
  nsi.set("ddos_send_possible", Json(false));
  nsi.set("ddos_interval", Json(ddos_interval_default_));
  nsi.set("bf_wl_ip_list", Json::array());
  nsi.set("bf_wl_host_list", Json::array());
  nsi.set("bf_latest_only", Json(false));
  nsi.set("bf_send_possible", Json(false));
  nsi.set("bf_max_val", Json(bf_max_val_default_));
  nsi.set("bf_interval", Json(bf_interval_default_));
  nsi.set("bf_dfs_schema", Json(core::bf_df_tpl()));
  nsi.set("brute_dfs_schema", Json(core::brute_df_tpl()));
  nsi.set("flood_dfs_schema", Json(core::brute_df_tpl()));
  nsi.set("schemix_url", Json::array());
  nsi.set("schemix_vhosts_list", Json::array());
  nsi.set("schemix_schemas_list", Json::array());
  nsi.set("schemix_exclude_paths", Json::array());
}

void Service::start_logging() {
  const std::string log_file = path_join(paths_.log_dir, "tessel.log");
  log_service_ = open_log_service(log_file, 52428800, 5);
  log_ = &Logger::get("MAIN");
  log_->set_level(INFO);
  log_->set_handlers({log_service_->q_log});
  log("info", "os", "START");
  log("info", "settings", "Configuration file: " + conf_file_);
}

void Service::main_loop() {
  for (;;) {
    interruptible_sleep(opts_.loop_pause, opts_.check_interrupt);
  }
}

void Service::run() {
  // 1. the shared namespace
  nsi_ = std::make_shared<SharedNamespace>();
  // 2. paths and directories
  paths_ = derive_paths(conf_file_, conf_default_, opts_.log_root, opts_.models_root);
  if (!create_dirs()) {
    nsg_.set_restart_signal(true);
    interruptible_sleep(opts_.restart_wait, opts_.check_interrupt);
    return;
  }
  // 3. run-time defaults and the namespace's first values
  set_defaults();
  // 4. queues and locks
  queues_ = ProcessQueues{};
  training_lock_ = std::make_shared<ProcessLock>();
  db_processing_lock_.clear();
  // 6. logging
  start_logging();
  main_loop();
}

}  // namespace

void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts) {
  Service s(nsg, tessel_conf_file, tessel_conf_default, opts);
  s.run();
}

}  // namespace tessel::svc
