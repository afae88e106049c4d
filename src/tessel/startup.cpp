// Start-up of one run: directories, logging, the configuration file, the
// broker list, the management-API addresses, the settings and the
// reference data.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "core/data/hosts.h"
#include "core/data/refdata.h"
#include "core/data/schemas.h"
#include "core/data/settings.h"
#include "core/log.h"
#include "core/net/url_schema.h"
#include "core/workers/settings_thread.h"
#include "shared/pyvalues/pyvalue.h"
#include "tessel/broker_list.h"
#include "tessel/identity.h"
#include "tessel/paths.h"
#include "tessel/run.h"

namespace tessel::svc {

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
  auto logger = std::make_shared<Logger>("MAIN");
  logger->set_level(INFO);
  logger->set_handlers({log_service_->q_log});
  sink_ = LogSink{queues_.q_ec, std::move(logger), false};
  log("info", "os", "START");
  log("info", "settings", "Configuration file: " + conf_file_);
}

void Service::build_dataset_urls() {
  geo_ = std::make_shared<core::GeoReference>(opts_.refdata);
  base_rapi_url_ = opts_.refdata.dataset_base_url;
  dataset_urls_ = core::dataset_urls(base_rapi_url_);
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
  if (config_parser_.has_option("main", "debug")) sink_.debug = config_parser_.getboolean("main", "debug");
  if (sink_.debug) log("debug", "os", "PID: " + nsg_.pid_text(conf_file_));
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
  if (config_parser_.has_option("main", "api_key")) api_.key = config_parser_.get("main", "api_key");
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
  if (config_parser_.has_option("main", "api_uri")) api_.api_url = config_parser_.get("main", "api_uri");
  if (api_.api_url.empty() || api_.api_url == "none") {
    log("fatal", "settings", "Corvane WAF API URL is not set in " + conf_file_);
    restart_protocol(true);
    return false;
  }
  api_.api_url = core::api_base_url(api_.api_url);
  log("info", "settings", "Corvane WAF API Base URL: " + api_.api_url);
  endpoints_.build_first(api_.api_url);

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

  api_.sys_proxy = proxy_mapping("sys_proxy");
  api_.api_proxy = proxy_mapping("api_proxy");

  load_identity();
  api_.cookie = Json::object({{"key", api_.key}});
  api_.ca_bundle = opts_.ca_bundle;
  api_.headers = Json::object({{"User-Agent", "Corvane AI TESSEL Service (" + uuid_ + ")"}});

  auto in_use = [](const Json& proxy) {
    return !proxy.empty() && !proxy.value("http", "").empty() && !proxy.value("https", "").empty();
  };
  if (in_use(api_.sys_proxy)) log("info", "settings", "System proxy server: " + api_.sys_proxy["http"].get<std::string>());
  if (in_use(api_.api_proxy)) log("info", "settings", "API proxy server: " + api_.api_proxy["http"].get<std::string>());

  endpoints_.build_last(api_.api_url);
  return true;
}

// {"http": proxy, "https": proxy} from a [proxy] option, or {} without one.
Json Service::proxy_mapping(const char* option) {
  if (!config_parser_.has_option("proxy", option)) return Json::object();
  const std::string text = config_parser_.get("proxy", option);
  if (text.empty()) return Json::object();
  const std::string proxy = core::add_url_schema(text, sink_);
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
    asa_settings_hash_ = core::asa_settings_get_hash(endpoints_.get_tessel_settings_hash_url, api_, sink_);
  }
  if (!endpoints_.get_tessel_settings_url.empty()) {
    // Without a fresh copy the settings thread starts from the hash of the
    // copy in force, so that it fetches the settings it has not got yet.
    if (!core::asa_settings_get(paths_.tessel_settings_db, endpoints_.get_tessel_settings_url, api_, sink_)) {
      asa_settings_hash_ = core::asa_settings_stored_hash(paths_.tessel_settings_db);
    }
    std::tie(asa_settings_, asa_settings_wo_otf_) =
        core::asa_settings_load(paths_.tessel_settings_db, sink_);
  }
}

// The hosts protected by machine-learning detection. A host listed twice
// counts once.
void Service::load_hosts() {
  if (!endpoints_.get_vhosts_url.empty()) {
    core::vhosts_list_get(paths_.tessel_vhosts_list_db, endpoints_.get_vhosts_url, api_, sink_);
    Json current = Json::array();
    for (const auto& h : mlvh_list_) current.push_back(h);
    const Json loaded = core::vhosts_list_load(paths_.tessel_vhosts_list_db, current, sink_);
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
      core::param_processing(Json(false), "bool", "main__ai_extra", asa_settings_, config_parser_, sink_));
  if (!ai_extra_) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is not activated");
  } else if (!mlvh_list_.empty()) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is activated");
  } else {
    log("warn", "settings", "Attack detection has been activated, but the list of virtual hosts is missing");
  }
}

void Service::apply_ddos_settings() {
  ddos_en_ = py_truthy(
      core::param_processing(Json(false), "bool", "ddos__enable", asa_settings_, config_parser_, sink_));
  if (!ddos_en_) return;
  if (config_parser_.has_option("ddos", "wl_ip")) rule_files_.ddos_wl_ip_path = config_parser_.get("ddos", "wl_ip");
  if (!rule_files_.ddos_wl_ip_path.empty()) core::create_path_file(rule_files_.ddos_wl_ip_path, sink_);
  if (config_parser_.has_option("ddos", "wl_url")) rule_files_.ddos_wl_url_path = config_parser_.get("ddos", "wl_url");
  if (!rule_files_.ddos_wl_url_path.empty()) core::create_path_file(rule_files_.ddos_wl_url_path, sink_);
  core::ddos_settings_apply(*nsi_, asa_settings_, rule_files_.ddos_wl_ip_path, rule_files_.ddos_wl_url_path, sink_);
}

void Service::apply_bf_settings() {
  bf_en_ = py_truthy(
      core::param_processing(Json(false), "bool", "brute__enable", asa_settings_, config_parser_, sink_));
  if (!bf_en_) return;
  core::bf_wl_apply(*nsi_, asa_settings_, sink_);
  auto rule_file = [&](const char* old_name, const char* name, std::string& path) {
    if (config_parser_.has_option("brute", old_name)) {
      path = config_parser_.get("brute", old_name);
      log("warn", "settings",
          std::string("Parameter \"") + old_name + "\" renamed to \"" + name + "\", update your config file");
    }
    if (config_parser_.has_option("brute", name)) path = config_parser_.get("brute", name);
    if (!path.empty()) core::create_path_file(path, sink_);
  };
  rule_file("brute_detect_list", "brute_detect", rule_files_.brute_detect_path);
  rule_file("flood_detect_list", "flood_detect", rule_files_.flood_detect_path);
  core::bf_settings_apply(*nsi_, asa_settings_, sink_);
}

void Service::apply_schemix_settings() {
  const Json value = core::param_processing(nsi_->get<Json>("schemix_vhosts_list"), "list", "schemix__vhosts_list",
                                            asa_settings_, config_parser_, sink_);
  if (!py_truthy(value)) {
    log("info", "settings", "Schemix schema generation is not activated");
    return;
  }
  nsi_->set("schemix_vhosts_list", core::vhosts_list_processing(value, sink_));
  std::string joined;
  for (const auto& h : nsi_->get<Json>("schemix_vhosts_list")) {
    if (!joined.empty()) joined += ", ";
    joined += h.get<std::string>();
  }
  log("info", "settings", "Schemix schema generation is activated for vhost: " + joined);
  auto [url, exclude, hashes] =
      subs_.schemix_settings_get(schemix_hashes_, endpoints_.get_schemix_base_url, paths_.models_dir, api_, sink_);
  nsi_->set("schemix_url", std::move(url));
  nsi_->set("schemix_exclude_paths", std::move(exclude));
  schemix_hashes_ = std::move(hashes);
}

void Service::refresh_reference_data() {
  core::geo_db_update(*geo_, core::geocc_fname, geo_token_, api_, sink_);
  core::geo_db_update(*geo_, core::geocrwl_fname, geo_token_, api_, sink_);
  cc_data_ = core::geo_db_get(*geo_, core::geocc_fname, sink_);
  core::b64wl_get(paths_.tessel_b64wl_db, base_rapi_url_, api_, sink_);
}

void Service::load_reference_data() {
  refresh_reference_data();
  if (!ddos_en_) log("info", "settings", "DDoS attack detection module is disabled");
  if (!bf_en_) log("info", "settings", "BF attack detection module is disabled");
  log("info", "settings", "Event Collector is activated");
}

}  // namespace tessel::svc
