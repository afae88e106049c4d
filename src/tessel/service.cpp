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
#include "core/url_schema.h"
#include "shared/child.h"
#include "shared/config_parser.h"
#include "shared/json.h"
#include "shared/lock.h"
#include "shared/pyvalue.h"
#include "shared/logging.h"
#include "shared/queues.h"
#include "shared/rmq_params.h"
#include "shared/shared_namespace.h"
#include "tessel/broker_list.h"
#include "tessel/endpoints.h"
#include "tessel/identity.h"
#include "tessel/paths.h"

namespace tessel::svc {

RunOptions RunOptions::from_env() {
  RunOptions o;
  if (const char* v = std::getenv("TESSEL_LOG_DIR"); v && *v) o.log_root = v;
  if (const char* v = std::getenv("TESSEL_ML_DIR"); v && *v) o.models_root = v;
  if (const char* v = std::getenv("TESSEL_DATASET_URL"); v && *v) o.dataset_base_url = v;
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

  // Each phase that can end in a fatal stop returns false after it.
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
  [[noreturn]] void main_loop();

  Nsg& nsg_;
  const std::string conf_file_;
  const std::string conf_default_;
  const RunOptions& opts_;

  std::shared_ptr<SharedNamespace> nsi_;
  Paths paths_;

  // Run-time defaults.
  std::int64_t asa_delay_ = 0;
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

  // Dataset service.
  std::string base_rapi_url_;
  DatasetUrls dataset_urls_;

  std::shared_ptr<LogService> log_service_;
  Logger* log_ = nullptr;

  // The configuration file, kept for the look-ups of the settings phase.
  RawConfigParser config_parser_;
  // Identity besides key_: the instance id, the host address and the GeoIP
  // service token.
  std::string uuid_;
  std::string ip_;
  std::string geo_token_;

  RmqParamList rmq_rc_param_list_;

  // Management API.
  std::string api_url_;
  ApiEndpoints endpoints_;
  std::int64_t dataset_limit_ = 800000;
  bool distributed_mode_ = false;
  bool mls_ = false;
  Json sys_proxy_ = Json::object();
  Json api_proxy_ = Json::object();
  Json cookie_ = Json::object();
  Json headers_ = Json::object();
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
            std::strerror(err) + ": " + py_repr_str(dir));
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

void Service::build_dataset_urls() {
  base_rapi_url_ = opts_.dataset_base_url;
  dataset_urls_ = dataset_urls(base_rapi_url_);
}

bool Service::read_config() {
  try {
    log("info", "os", "Reading configuration");
    config_parser_ = RawConfigParser{};
    config_parser_.read(conf_file_);
  } catch (const std::exception& e) {
    const std::string msg = "An error occurred while parsing file " + conf_file_ + ": " + e.what();
    print(msg);
    log("fatal", "settings", msg);
    restart_protocol(false);
    return false;
  }
  // An invalid boolean here is not caught.
  if (config_parser_.has_option("main", "debug")) debug_ = config_parser_.getboolean("main", "debug");
  if (debug_) log("debug", "os", "PID: " + nsg_.pid_text(conf_file_));
  if (config_parser_.has_option("main", "settings_upd_delay")) {
    try {
      asa_delay_ = config_parser_.getint("main", "settings_upd_delay");
      if (asa_delay_ > 0) {
        log("info", "settings", "Additional delay when updating settings: " + std::to_string(asa_delay_));
      }
    } catch (const std::exception& e) {
      log("error", "settings",
          "An error occurred while processing settings_upd_delay from " + conf_file_ + ": " + e.what());
    }
  }
  if (config_parser_.has_option("main", "api_key")) key_ = config_parser_.get("main", "api_key");
  if (config_parser_.has_option("main", "geo_token")) geo_token_ = config_parser_.get("main", "geo_token");
  return true;
}

// The settings guard: from the broker list to the end of the settings.
bool Service::configure() {
  try {
    if (!build_broker_list()) return false;
    if (!build_api_endpoints()) return false;
    // The settings from the management API follow here, inside this guard.
    return true;
  } catch (const std::exception& e) {
    log("fatal", "settings", std::string("Corvane AI TESSEL settings is not correct: ") + e.what());
    restart_protocol(true);
    return false;
  }
}

bool Service::build_broker_list() {
  rmq_rc_param_list_ = build_rmq_rc_param_list(config_parser_.get("run", "rmq_host"));
  if (rmq_rc_param_list_.empty()) {
    log("fatal", "settings", "RabbitMQ consumer list is empty");
    restart_protocol(true);
    return false;
  }
  return true;
}

bool Service::build_api_endpoints() {
  if (config_parser_.has_option("main", "api_uri")) api_url_ = config_parser_.get("main", "api_uri");
  if (api_url_.empty() || api_url_ == "none") {
    log("fatal", "settings", "Corvane WAF API URL is not set in " + conf_file_);
    restart_protocol(true);
    return false;
  }
  api_url_ = api_base_url(api_url_);
  log("info", "settings", "Corvane WAF API Base URL: " + api_url_);
  endpoints_.build_first(api_url_);

  if (config_parser_.has_option("training", "dataset_limit")) {
    dataset_limit_ = config_parser_.getint("training", "dataset_limit");
  }
  log("info", "settings", "Maximum training dataset size: " + std::to_string(dataset_limit_) + " request(s)");

  if (config_parser_.has_option("distributed", "enable")) {
    distributed_mode_ = config_parser_.getboolean("distributed", "enable");
    if (distributed_mode_) log("info", "settings", "Corvane AI TESSEL running in distributed mode");
  }
  mls_ = false;
  if (distributed_mode_ && config_parser_.has_option("distributed", "master")) {
    mls_ = config_parser_.getboolean("distributed", "master");
    if (mls_) log("info", "settings", "Corvane AI TESSEL is used as a master");
  }

  sys_proxy_ = proxy_mapping("sys_proxy");
  api_proxy_ = proxy_mapping("api_proxy");

  load_identity();
  cookie_ = Json::object({{"key", key_}});
  headers_ = Json::object({{"User-Agent", "Corvane AI TESSEL Service (" + uuid_ + ")"}});

  auto in_use = [](const Json& proxy) {
    return !proxy.empty() && !proxy.value("http", "").empty() && !proxy.value("https", "").empty();
  };
  if (in_use(sys_proxy_)) log("info", "settings", "System proxy server: " + sys_proxy_["http"].get<std::string>());
  if (in_use(api_proxy_)) log("info", "settings", "API proxy server: " + api_proxy_["http"].get<std::string>());

  endpoints_.build_last(api_url_);
  return true;
}

// {"http": proxy, "https": proxy} from a [proxy] option, or {} without one.
Json Service::proxy_mapping(const char* option) {
  if (!config_parser_.has_option("proxy", option)) return Json::object();
  const std::string text = config_parser_.get("proxy", option);
  if (text.empty()) return Json::object();
  const std::string proxy = core::add_url_schema(text, *queues_.q_ec, *log_);
  return Json::object({{"http", proxy}, {"https", proxy}});
}

// The instance id lives in the model directory; the key and the GeoIP token
// come from the configuration file.
void Service::load_identity() {
  uuid_ = instance_id(path_join(paths_.models_dir, "instance_id"));
  ip_ = primary_address();
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
  // 5. dataset-service addresses
  build_dataset_urls();
  // 6. logging
  start_logging();
  // 7. the configuration file
  if (!read_config()) return;
  // 8 to 10. broker list, management API, settings
  if (!configure()) return;
  main_loop();
}

}  // namespace

void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts) {
  Service s(nsg, tessel_conf_file, tessel_conf_default, opts);
  s.run();
}

}  // namespace tessel::svc
