#include "tessel/service.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "core/workers/feeder.h"
#include "core/data/hosts.h"
#include "core/workers/hw_overload.h"
#include "core/log.h"
#include "core/data/refdata.h"
#include "core/data/schemas.h"
#include "core/workers/senders.h"
#include "core/data/settings.h"
#include "core/workers/settings_thread.h"
#include "core/net/url_schema.h"
#include "ingestor/ingestor.h"
#include "orvik/classify/mlm.h"
#include "orvik/dataset/mt_data.h"
#include "orvik/training/models.h"
#include "orvik/training/training_state.h"
#include "passgate/bfm.h"
#include "schemix/oam.h"
#include "schemix/schemix_settings.h"
#include "shared/runtime/child.h"
#include "shared/pyvalues/config_parser.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/logging.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"
#include "shared/runtime/shared_namespace.h"
#include "stormwatch/ddosm.h"
#include "tessel/broker_list.h"
#include "tessel/endpoints.h"
#include "tessel/identity.h"
#include "tessel/paths.h"
#include "tessel/run_nsg.h"

namespace tessel::svc {

Subsystems Subsystems::real() {
  Subsystems s;
  s.make_bfm = [](std::shared_ptr<AadQueue> q_aad, std::string tessel_rmq_q, std::shared_ptr<AttackQueue> q_attack_bd,
                  RmqParamList rmq_rc_param_list, std::string set_attack_url, std::string geo_token, Json sys_proxy,
                  Json headers, std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug) -> WindowDetectorPtr {
    return std::make_shared<passgate::BFM>(std::move(q_aad), std::move(tessel_rmq_q), std::move(q_attack_bd),
                                           std::move(rmq_rc_param_list), std::move(set_attack_url),
                                           std::move(geo_token), std::move(sys_proxy), std::move(headers),
                                           std::move(q_ec), log, debug);
  };
  s.make_ddosm = [](std::shared_ptr<AadQueue> q_aad, std::string tessel_rmq_q, std::shared_ptr<AttackQueue> q_attack_bd,
                    RmqParamList rmq_rc_param_list, std::string set_attack_url, std::string geo_token, Json sys_proxy,
                    Json headers, std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug) -> WindowDetectorPtr {
    return std::make_shared<stormwatch::DDoSM>(std::move(q_aad), std::move(tessel_rmq_q), std::move(q_attack_bd),
                                               std::move(rmq_rc_param_list), std::move(set_attack_url),
                                               std::move(geo_token), std::move(sys_proxy), std::move(headers),
                                               std::move(q_ec), log, debug);
  };
  s.make_oam = [](int oa_loop_int, std::string set_schemix_schema_path_url, std::string key, Json api_proxy,
                  Json headers, std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug) -> WindowDetectorPtr {
    return std::make_shared<schemix::OAM>(oa_loop_int, std::move(set_schemix_schema_path_url), std::move(key),
                                          std::move(api_proxy), std::move(headers), std::move(q_ec), log, debug);
  };
  s.make_mlm = [](Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
                  std::string mt_fname, std::shared_ptr<AttackQueue> q_attack_api, std::shared_ptr<TableQueue> q_mt_api,
                  RmqParamList rmq_rc_param_list, std::string tessel_rmq_q, std::shared_ptr<EventQueue> q_ec,
                  Logger& log, bool debug) -> MlDetectorPtr {
    return std::make_shared<orvik::MLM>(std::move(db_fnames_dict), std::move(models_dir), ai_extra,
                                        std::move(mlvh_list), std::move(mt_fname), std::move(q_attack_api),
                                        std::move(q_mt_api), std::move(rmq_rc_param_list), std::move(tessel_rmq_q),
                                        std::move(q_ec), log, debug);
  };
  s.mt_data_get = orvik::mt_data_get;
  s.tessel_models_receiver = orvik::tessel_models_receiver;
  s.schemix_settings_get = schemix::schemix_settings_get;
  s.get_training_status = orvik::get_training_status;
  s.ml_core = orvik::ml_core;
  s.dyn_queue_consumer = [](Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const std::string& rmq_rconnection_param,
                            bool use_dyn_unlock, const std::string& rmq_rhost, const std::string& tessel_rmq_q,
                            const RmqParamList& rmq_rc_param_list, std::shared_ptr<LocalQueue> q_local, bool ddos_en,
                            bool bf_en, const std::vector<std::string>& mlvh_list, std::shared_ptr<EventQueue> q_stats,
                            std::shared_ptr<EventQueue> q_api, std::shared_ptr<EventQueue> q_ec, Logger& log,
                            bool debug) {
    ingestor::dyn_queue_consumer(nsg, std::move(nsi), rmq_rconnection_param, use_dyn_unlock, rmq_rhost, tessel_rmq_q,
                                 rmq_rc_param_list, std::move(q_local), ddos_en, bf_en, mlvh_list, std::move(q_stats),
                                 std::move(q_api), std::move(q_ec), log, debug);
  };
  return s;
}

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
      : nsg_(nsg),
        run_nsg_(std::make_shared<RunNsg>(nsg)),
        conf_file_(std::move(conf_file)),
        conf_default_(std::move(conf_default)),
        opts_(opts),
        subs_(opts.subsystems) {}
  // The run is over: its workers see a pending restart and are told to end.
  ~Service();

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
  std::int64_t now() const { return opts_.clock ? opts_.clock() : unix_now(); }
  void phase(int n) const {
    if (opts_.before_phase) opts_.before_phase(n);
  }
  // Starts a worker of this run; its body gets the run's stop token.
  ChildPtr start_worker(const char* name, std::function<void(std::stop_token)> body);
  void log_started(const char* name, const ChildPtr& child) {
    if (debug_) log("debug", "os", std::string(name) + " is running (PID: " + std::to_string(child->pid()) + ")");
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
  void fetch_settings();
  void load_hosts();
  void apply_ddos_settings();
  void apply_bf_settings();
  void apply_schemix_settings();
  void load_reference_data();
  bool build_detectors();
  void start_workers();
  void start_training();
  void start_threads();
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

  // Settings from the management API.
  std::string asa_settings_hash_;
  Json asa_settings_ = Json::object();
  Json asa_settings_wo_otf_ = Json::object();
  bool ddos_en_ = false;
  bool bf_en_ = false;
  std::string ddos_wl_ip_path_;
  std::string ddos_wl_url_path_;
  std::string brute_detect_path_;
  std::string flood_detect_path_;
  std::vector<std::string> mlvh_list_;
  Json schemix_hashes_ = Json::object();

  // Reference data.
  core::GeoData cc_data_;

  // Detectors and start-up exchanges.
  WindowDetectorPtr bf_m_;
  WindowDetectorPtr ddos_m_;
  WindowDetectorPtr oa_m_;
  MlDetectorPtr ml_m_;
  std::string mt_hash_;
};

bool Service::create_dirs() {
  for (const auto& dir : paths_.tessel_dirs) {
    // The system call would see only the text before a NUL: another path.
    if (dir.find('\0') != std::string::npos) {
      print("An error occurred while creating directory " + dir + ": embedded null byte");
      return false;
    }
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
  ohl_btime_ = now();
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
  base_rapi_url_ = opts_.dataset_base_url.empty() ? core::dataset_base_url() : opts_.dataset_base_url;
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
    phase(9);
    if (!build_api_endpoints()) return false;
    phase(10);
    fetch_settings();
    load_hosts();
    apply_ddos_settings();
    apply_bf_settings();
    apply_schemix_settings();
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

// Settings from the management API, or the local copy when it cannot be
// reached.
void Service::fetch_settings() {
  if (!endpoints_.get_tessel_settings_hash_url.empty()) {
    asa_settings_hash_ = core::asa_settings_get_hash(endpoints_.get_tessel_settings_hash_url, key_, api_proxy_,
                                                     headers_, *queues_.q_ec, *log_, debug_);
  }
  if (!endpoints_.get_tessel_settings_url.empty()) {
    // Without a fresh copy the settings thread starts from the hash of the
    // copy in force, so that it fetches the settings it has not got yet.
    if (!core::asa_settings_get(paths_.tessel_settings_db, endpoints_.get_tessel_settings_url, key_, api_proxy_,
                                headers_, *queues_.q_ec, *log_)) {
      asa_settings_hash_ = core::asa_settings_stored_hash(paths_.tessel_settings_db);
    }
    std::tie(asa_settings_, asa_settings_wo_otf_) =
        core::asa_settings_load(paths_.tessel_settings_db, *queues_.q_ec, *log_);
  }
}

// The hosts protected by machine-learning detection. A host listed twice
// counts once.
void Service::load_hosts() {
  auto& q_ec = *queues_.q_ec;
  if (!endpoints_.get_vhosts_url.empty()) {
    core::vhosts_list_get(paths_.tessel_vhosts_list_db, endpoints_.get_vhosts_url, key_, api_proxy_, headers_, q_ec,
                          *log_);
    Json current = Json::array();
    for (const auto& h : mlvh_list_) current.push_back(h);
    const Json loaded = core::vhosts_list_load(paths_.tessel_vhosts_list_db, current, q_ec, *log_, debug_);
    if (!loaded.empty()) {
      std::vector<std::string> hosts;
      for (const auto& h : loaded) {
        auto host = h.get<std::string>();
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(std::move(host));
      }
      mlvh_list_ = std::move(hosts);
    }
  }
  ai_extra_ = py_truthy(
      core::param_processing(Json(false), "bool", "main__ai_extra", asa_settings_, config_parser_, q_ec, *log_));
  if (!ai_extra_) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is not activated");
  } else if (!mlvh_list_.empty()) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is activated");
  } else {
    log("warn", "settings", "Attack detection has been activated, but the list of virtual hosts is missing");
  }
}

void Service::apply_ddos_settings() {
  auto& q_ec = *queues_.q_ec;
  ddos_en_ = py_truthy(
      core::param_processing(Json(false), "bool", "ddos__enable", asa_settings_, config_parser_, q_ec, *log_));
  if (!ddos_en_) return;
  if (config_parser_.has_option("ddos", "wl_ip")) ddos_wl_ip_path_ = config_parser_.get("ddos", "wl_ip");
  if (!ddos_wl_ip_path_.empty()) core::create_path_file(ddos_wl_ip_path_, q_ec, *log_);
  if (config_parser_.has_option("ddos", "wl_url")) ddos_wl_url_path_ = config_parser_.get("ddos", "wl_url");
  if (!ddos_wl_url_path_.empty()) core::create_path_file(ddos_wl_url_path_, q_ec, *log_);
  core::ddos_settings_apply(*nsi_, asa_settings_, ddos_wl_ip_path_, ddos_wl_url_path_, q_ec, *log_);
}

void Service::apply_bf_settings() {
  auto& q_ec = *queues_.q_ec;
  bf_en_ = py_truthy(
      core::param_processing(Json(false), "bool", "brute__enable", asa_settings_, config_parser_, q_ec, *log_));
  if (!bf_en_) return;
  core::bf_wl_apply(*nsi_, asa_settings_, q_ec, *log_);
  auto rule_file = [&](const char* old_name, const char* name, std::string& path) {
    if (config_parser_.has_option("brute", old_name)) {
      path = config_parser_.get("brute", old_name);
      log("warn", "settings",
          std::string("Parameter \"") + old_name + "\" renamed to \"" + name + "\", update your config file");
    }
    if (config_parser_.has_option("brute", name)) path = config_parser_.get("brute", name);
    if (!path.empty()) core::create_path_file(path, q_ec, *log_);
  };
  rule_file("brute_detect_list", "brute_detect", brute_detect_path_);
  rule_file("flood_detect_list", "flood_detect", flood_detect_path_);
  core::bf_settings_apply(*nsi_, asa_settings_, q_ec, *log_);
}

void Service::apply_schemix_settings() {
  auto& q_ec = *queues_.q_ec;
  const Json value = core::param_processing(nsi_->get<Json>("schemix_vhosts_list"), "list", "schemix__vhosts_list",
                                            asa_settings_, config_parser_, q_ec, *log_);
  if (!py_truthy(value)) {
    log("info", "settings", "Schemix schema generation is not activated");
    return;
  }
  nsi_->set("schemix_vhosts_list", core::vhosts_list_processing(value, q_ec, *log_));
  std::string joined;
  for (const auto& h : nsi_->get<Json>("schemix_vhosts_list")) {
    if (!joined.empty()) joined += ", ";
    joined += h.get<std::string>();
  }
  log("info", "settings", "Schemix schema generation is activated for vhost: " + joined);
  auto [url, exclude, hashes] =
      subs_.schemix_settings_get(schemix_hashes_, endpoints_.get_schemix_base_url, paths_.models_dir, key_, headers_,
                                 api_proxy_, q_ec, *log_, debug_);
  nsi_->set("schemix_url", std::move(url));
  nsi_->set("schemix_exclude_paths", std::move(exclude));
  schemix_hashes_ = std::move(hashes);
}

void Service::load_reference_data() {
  auto& q_ec = *queues_.q_ec;
  core::geo_db_update(core::geocc_fname, geo_token_, sys_proxy_, headers_, q_ec, *log_);
  core::geo_db_update(core::geocrwl_fname, geo_token_, sys_proxy_, headers_, q_ec, *log_);
  cc_data_ = core::geo_db_get(core::geocc_fname, q_ec, *log_);
  core::b64wl_get(paths_.tessel_b64wl_db, sys_proxy_, headers_, q_ec, *log_);
  if (!ddos_en_) log("info", "settings", "DDoS attack detection module is disabled");
  if (!bf_en_) log("info", "settings", "BF attack detection module is disabled");
  log("info", "settings", "Event Collector is activated");
}

bool Service::build_detectors() {
  auto& q = queues_;
  if (bf_en_) {
    try {
      core::bf_schemas_apply(*nsi_, asa_settings_, brute_detect_path_, flood_detect_path_, *q.q_ec, *log_);
      bf_m_ = subs_.make_bfm(q.q_aad, tessel_rmq_q_, q.q_attack_bd, rmq_rc_param_list_, endpoints_.set_attack_url,
                             geo_token_, sys_proxy_, headers_, q.q_ec, *log_, debug_);
    } catch (const std::exception& e) {
      log("fatal", "bf", std::string("An error occurred while starting BF attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (ddos_en_) {
    try {
      ddos_m_ = subs_.make_ddosm(q.q_aad, tessel_rmq_q_, q.q_attack_bd, rmq_rc_param_list_, endpoints_.set_attack_url,
                                 geo_token_, sys_proxy_, headers_, q.q_ec, *log_, debug_);
    } catch (const std::exception& e) {
      log("fatal", "ddos", std::string("An error occurred while starting DDoS attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (bf_en_ || ddos_en_) {
    auto child =
        start_worker("q_attack_bd_processing", [nsi = nsi_, q, &log = *log_, debug = debug_](std::stop_token st) {
          core::q_attack_bd_processing(nsi, q.q_attack_bd, q.q_attack_api, q.q_ec, log, debug, st);
        });
    log_started("q_attack_bd_processing", child);
  }
  try {
    oa_m_ = subs_.make_oam(oa_loop_int_, endpoints_.set_schemix_schema_path_url, key_, api_proxy_, headers_, q.q_ec,
                           *log_, debug_);
  } catch (const std::exception& e) {
    log("fatal", "schemix",
        std::string("An error occurred while starting Schemix schema generator module: ") + e.what());
    restart_protocol(true);
    return false;
  }
  mt_hash_ = subs_.mt_data_get(paths_.mt_fname, mt_hash_, endpoints_.get_mt_hash_url, endpoints_.get_mt_data_url, key_,
                               api_proxy_, headers_, *q.q_ec, *log_, debug_);
  if (!mlvh_list_.empty() && subs_.tessel_models_receiver(ai_extra_, paths_.models_dir, key_, endpoints_.get_models_url,
                                                          api_proxy_, headers_, *q.q_ec, *log_, debug_)) {
    restart_protocol(true);
    return false;
  }
  return true;
}

ChildPtr Service::start_worker(const char* name, std::function<void(std::stop_token)> body) {
  auto child = Child::start(name, [body = std::move(body), st = stop_.get_token()] { body(st); });
  workers_.push_back(child);
  return child;
}

void Service::start_workers() {
  auto& q = queues_;
  Logger& log = *log_;
  const bool debug = debug_;
  const bool use_dyn_unlock = !rmq_rc_param_list_.empty();
  for (const auto& entry : rmq_rc_param_list_) {
    auto child = start_worker("dyn_queue_consumer",
                              [nsg = run_nsg_, nsi = nsi_, entry, use_dyn_unlock, rmq_q = tessel_rmq_q_,
                               list = rmq_rc_param_list_, q, ddos_en = ddos_en_, bf_en = bf_en_, hosts = mlvh_list_,
                               &log, debug, f = subs_.dyn_queue_consumer](std::stop_token) {
                                f(*nsg, nsi, entry.url, use_dyn_unlock, entry.host, rmq_q, list, q.q_local, ddos_en,
                                  bf_en, hosts, q.q_stats, q.q_api, q.q_ec, log, debug);
                              });
    log_started("dyn_queue_consumer", child);
  }
  auto sender =
      start_worker("rmq_log_and_api_processing",
                   [ip = ip_, uuid = uuid_, e = endpoints_, key = key_, geo_token = geo_token_, sys_proxy = sys_proxy_,
                    api_proxy = api_proxy_, headers = headers_, cookie = cookie_, q, &log, debug](std::stop_token st) {
                     core::rmq_log_and_api_processing(ip, uuid, e.set_event_url, e.set_attack_url, e.set_mt_data_url,
                                                      key, geo_token, sys_proxy, api_proxy, headers, cookie,
                                                      q.q_attack_api, q.q_mt_api, q.q_api, q.q_ec, log, debug, st);
                   });
  log_started("rmq_log_and_api_processing", sender);
  auto stats = start_worker("rmq_stats_processing", [e = endpoints_, key = key_, api_proxy = api_proxy_,
                                                     headers = headers_, q, &log, debug](std::stop_token st) {
    core::rmq_stats_processing(e.set_request_stats_url, e.set_traffic_stats_url, key, api_proxy, headers, q.q_stats,
                               q.q_ec, log, debug, st);
  });
  log_started("rmq_stats_processing", stats);
  start_worker("geoip2memc",
               [geo_token = geo_token_, sys_proxy = sys_proxy_, headers = headers_, q, &log](std::stop_token st) {
                 core::geoip2memc(q.q_geoip, geo_token, sys_proxy, headers, q.q_ec, log, st);
               });
}

// One training process per protected host, then the classification host.
void Service::start_training() {
  auto& q = queues_;
  auto& q_ec = *q.q_ec;
  Json db_fnames_dict = Json::object();
  for (const auto& ml_vhost : mlvh_list_) {
    db_processing_lock_[ml_vhost] = std::make_shared<ProcessLock>();
    const std::string vhost = core::vhost_normalization(ml_vhost, q_ec, *log_);
    std::int64_t training_ts = 0;
    const auto [remote_retraining_complete, remote_training_period_days] = subs_.get_training_status(
        endpoints_.get_training_url, key_, ml_vhost, training_period_days_default_, api_proxy_, headers_, q_ec, *log_);
    if (remote_retraining_complete == false) training_ts = now();
    // Each host starts from the default; only a number (not a boolean) of
    // days is taken.
    Json training_period_days = training_period_days_default_;
    if (remote_training_period_days.is_number() && remote_training_period_days != 0) {
      training_period_days = remote_training_period_days;
    }
    if (training_period_days.get<double>() < 1) {
      log("error", "settings",
          "The training period for virtual host " + ml_vhost +
              " cannot be less than 1 day, use the default value: " + std::to_string(training_period_days_default_));
      training_period_days = training_period_days_default_;
    }
    const double training_period = training_period_days.get<double>() * 24 * 60 * 60;
    log("info", "settings",
        "Training period for virtual host " + ml_vhost + ": " + py_str(training_period_days) + " day(s)");

    std::optional<std::string> db_fname;
    const std::string ml_fnames = path_join(paths_.models_dir, vhost + "*.ml");
    const std::string db_fnames = path_join(paths_.models_dir, vhost + "*.db");
    // Only the host's own files count: no other host's name shares them.
    const bool no_ml_files = core::host_model_files(paths_.models_dir, vhost).size() < 2;
    if (no_ml_files || training_ts != 0) {
      try {
        if (training_ts == 0) {
          training_ts = now();
          if (debug_) {
            log("debug", "ml",
                "Training conditions for virtual host " + ml_vhost +
                    ": behavior model files are missing (less than 2); training_ts: " + std::to_string(training_ts) +
                    ";");
          }
        }
        const auto staging = core::host_staging_files(paths_.models_dir, vhost);
        db_fname = staging.empty() ? path_join(paths_.models_dir, vhost + "_" + std::to_string(training_ts) + ".db")
                                   : staging.front();
        db_fnames_dict[ml_vhost] = *db_fname;
        log("info", "ml", "Using SQLite file for virtual host " + ml_vhost + ": " + *db_fname);
      } catch (const std::exception&) {
        log("error", "os", "An error occurred while processing SQLite file name for virtual host " + ml_vhost);
      }
    }

    orvik::MlCoreArgs args;
    args.nsg = run_nsg_;
    args.mls = mls_;
    args.distributed_mode = distributed_mode_;
    args.set_mls_data_url = endpoints_.set_mls_data_url;
    args.get_mls_data_url = endpoints_.get_mls_data_url;
    args.del_mls_data_url = endpoints_.del_mls_data_url;
    args.db_processing_lock = db_processing_lock_;
    args.training_lock = training_lock_;
    args.db_fname = db_fname;
    args.ml_fnames = ml_fnames;
    args.db_fnames = db_fnames;
    args.models_dir = paths_.models_dir;
    args.backup_dir = paths_.backup_dir;
    args.tmp_dir = paths_.tmp_dir;
    args.ml_vhost = ml_vhost;
    args.vhost = vhost;
    args.dataset_limit = dataset_limit_;
    args.key = key_;
    args.training_period = training_period;
    args.training_period_days = training_period_days;
    args.training_period_days_default = training_period_days_default_;
    args.get_training_url = endpoints_.get_training_url;
    args.set_training_url = endpoints_.set_training_url;
    args.set_training_progress_url = endpoints_.set_training_progress_url;
    args.bl_dataset_url = dataset_urls_.bl_dataset_url;
    args.wl_dataset_url = dataset_urls_.wl_dataset_url;
    args.set_models_url = endpoints_.set_models_url;
    args.sys_proxy = sys_proxy_;
    args.api_proxy = api_proxy_;
    args.headers = headers_;
    args.get_mt_hash_url = endpoints_.get_mt_hash_url;
    args.get_mt_data_url = endpoints_.get_mt_data_url;
    args.mt_fname = paths_.mt_fname;
    args.q_ec = q.q_ec;
    args.log = log_;
    args.debug = debug_;
    auto child = start_worker("ml_core", [f = subs_.ml_core, args = std::move(args)](std::stop_token) { f(args); });
    log_started("ml_core", child);
  }
  ml_m_ = subs_.make_mlm(db_fnames_dict, paths_.models_dir, ai_extra_, mlvh_list_, paths_.mt_fname, q.q_attack_api,
                         q.q_mt_api, rmq_rc_param_list_, tessel_rmq_q_, q.q_ec, *log_, debug_);
}

void Service::start_threads() {
  core::SettingsThreadArgs a;
  a.nsg = run_nsg_;
  a.nsi = nsi_;
  a.set_agent_monitoring_url = endpoints_.set_agent_monitoring_url;
  a.asa_delay = asa_delay_;
  a.get_tessel_settings_hash_url = endpoints_.get_tessel_settings_hash_url;
  a.get_tessel_settings_url = endpoints_.get_tessel_settings_url;
  a.get_vhosts_url = endpoints_.get_vhosts_url;
  a.get_schemix_base_url = endpoints_.get_schemix_base_url;
  a.get_mt_hash_url = endpoints_.get_mt_hash_url;
  a.get_mt_data_url = endpoints_.get_mt_data_url;
  a.get_models_url = endpoints_.get_models_url;
  a.asa_settings_hash = asa_settings_hash_;
  a.mt_hash = mt_hash_;
  a.schemix_hashes = schemix_hashes_;
  a.asa_settings = asa_settings_;
  a.asa_settings_wo_otf = asa_settings_wo_otf_;
  a.mlvh_list = mlvh_list_;
  a.models_dir = paths_.models_dir;
  a.tessel_conf_file = conf_file_;
  a.tessel_settings_db = paths_.tessel_settings_db;
  a.tessel_vhosts_list_db = paths_.tessel_vhosts_list_db;
  a.mt_fname = paths_.mt_fname;
  a.ddos_wl_ip_path = ddos_wl_ip_path_;
  a.brute_detect_path = brute_detect_path_;
  a.flood_detect_path = flood_detect_path_;
  a.ddos_wl_url_path = ddos_wl_url_path_;
  a.ai_extra = ai_extra_;
  a.bf_en = bf_en_;
  a.ddos_en = ddos_en_;
  a.uuid = uuid_;
  a.ip = ip_;
  a.mt_data_get = subs_.mt_data_get;
  a.tessel_models_receiver = subs_.tessel_models_receiver;
  a.schemix_settings_get = subs_.schemix_settings_get;
  a.geo_token = geo_token_;
  a.key = key_;
  a.sys_proxy = sys_proxy_;
  a.api_proxy = api_proxy_;
  a.headers = headers_;
  a.q_aad = queues_.q_aad;
  a.q_ec = queues_.q_ec;
  a.log = log_;
  a.debug = debug_;
  start_worker("settings_n_ad_processing",
               [a = std::move(a), opts = core::SettingsThreadOptions{opts_.settings_period}](std::stop_token st) {
                 core::settings_n_ad_processing(a, st, opts);
               });
  start_worker("hw_overload_check", [nsg = run_nsg_, q_ec = queues_.q_ec, &log = *log_](std::stop_token st) {
    core::hw_overload_check(*nsg, *q_ec, log, st);
  });
}

void Service::main_loop() {
  auto& q = queues_;
  auto& q_ec = *q.q_ec;
  for (;;) {
    try {
      const std::int64_t ohl_ctime = now();
      const std::int64_t ohl_delta = ohl_ctime - ohl_btime_;
      if (ohl_delta > ohl_loop_int_) {
        core::geo_db_update(core::geocc_fname, geo_token_, sys_proxy_, headers_, q_ec, *log_);
        core::geo_db_update(core::geocrwl_fname, geo_token_, sys_proxy_, headers_, q_ec, *log_);
        cc_data_ = core::geo_db_get(core::geocc_fname, q_ec, *log_);
        core::b64wl_get(paths_.tessel_b64wl_db, sys_proxy_, headers_, q_ec, *log_);
        ohl_btime_ = ohl_ctime;
      }
      core::mp_queue_size(*q.q_aad, "q_aad", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_api, "q_api", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_attack_api, "q_attack_api", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_attack_bd, "q_attack_bd", q_ec, *log_, debug_);
      core::mp_queue_size(q_ec, "q_ec", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_geoip, "q_geoip", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_local, "q_local", q_ec, *log_, debug_);
      core::mp_queue_size(*log_service_->q_log, "q_log", q_ec, *log_, debug_);
      core::mp_queue_size(*q.q_mt_api, "q_mt_api", q_ec, *log_, debug_);
      core::local_queue_processing(run_nsg_, nsi_, *q.q_local, *q.q_geoip, db_processing_lock_, ddos_m_, ddos_en_,
                                   bf_m_, bf_en_, ml_m_, mlvh_list_, oa_m_, cc_data_, geo_token_, sys_proxy_, headers_,
                                   q_ec, *log_);
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
  paths_ = derive_paths(conf_file_, conf_default_, opts_.log_root, opts_.models_root);
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
  queues_ = ProcessQueues{};
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
  if (!mlvh_list_.empty()) start_training();
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

}  // namespace

void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts) {
  Service s(nsg, tessel_conf_file, tessel_conf_default, opts);
  s.run();
}

}  // namespace tessel::svc
