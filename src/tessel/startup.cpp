// Start-up of one run: directories, logging, the configuration file, the
// broker list, the management-API addresses, the settings and the
// reference data.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "core/base/log.h"
#include "core/data/hosts.h"
#include "core/data/refdata.h"
#include "core/data/schemas.h"
#include "core/data/settings.h"
#include "core/net/http.h"
#include "core/net/url_schema.h"
#include "core/workers/settings_thread.h"
#include "shared/pyvalues/pyvalue.h"
#include "tessel/broker_list.h"
#include "tessel/identity.h"
#include "tessel/paths.h"
#include "tessel/run.h"

namespace tessel::svc {

bool Service::create_dirs() {
  for (const auto& dir : run_.paths.tessel_dirs) {
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
  nsi.set("rmq_vexa_dir", Json(run_.paths.rmq_vexa_dir));
  nsi.set("tessel_b64wl_db", Json(run_.paths.tessel_b64wl_db));
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
  const std::string log_file = path_join(run_.paths.log_dir, "tessel.log");
  log_service_ = open_log_service(log_file, 52428800, 5);
  auto logger = std::make_shared<Logger>("MAIN");
  logger->set_level(INFO);
  logger->set_handlers({log_service_->q_log});
  run_.sink = LogSink{run_.queues.q_ec, std::move(logger), false};
  log("info", "os", "START");
  log("info", "settings", "Configuration file: " + conf_file_);
}

void Service::build_dataset_urls() {
  run_.geo = std::make_shared<core::GeoReference>(opts_.refdata);
  base_rapi_url_ = opts_.refdata.dataset_base_url;
  run_.dataset_urls = core::dataset_urls(base_rapi_url_);
}

bool Service::read_config() {
  try {
    log("info", "os", "Reading configuration");
    config_parser_ = RawConfigParser{};
    // Read as empty; the settings then name what is missing, this the cause.
    if (std::string why; !config_parser_.read(conf_file_, &why)) {
      log("warn", "settings", "Configuration file " + conf_file_ + " could not be read: " + why);
    }
  } catch (const std::exception& e) {
    const std::string msg = "An error occurred while parsing file " + conf_file_ + ": " + e.what();
    print(msg);
    log("fatal", "settings", msg);
    restart_protocol(false);
    return false;
  }
  // An invalid boolean ends the run with its error, logged first.
  if (config_parser_.has_option("main", "debug")) {
    try {
      run_.sink.debug = config_parser_.getboolean("main", "debug");
    } catch (const std::exception& e) {
      log("fatal", "settings", "An error occurred while processing debug from " + conf_file_ + ": " + e.what());
      throw;
    }
  }
  if (run_.sink.debug) log("debug", "os", "PID: " + nsg_.pid_text(conf_file_));
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
  if (config_parser_.has_option("main", "api_key")) run_.api.key = config_parser_.get("main", "api_key");
  if (config_parser_.has_option("main", "geo_token")) run_.geo_token = config_parser_.get("main", "geo_token");
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
  run_.rmq_rc_param_list = build_rmq_rc_param_list(config_parser_.get("run", "rmq_host"));
  if (run_.rmq_rc_param_list.empty()) {
    log("fatal", "settings", "RabbitMQ consumer list is empty");
    restart_protocol(true);
    return false;
  }
  return true;
}

bool Service::build_api_endpoints() {
  if (config_parser_.has_option("main", "api_uri")) run_.api.api_url = config_parser_.get("main", "api_uri");
  if (run_.api.api_url.empty() || run_.api.api_url == "none") {
    log("fatal", "settings", "Corvane WAF API URL is not set in " + conf_file_);
    restart_protocol(true);
    return false;
  }
  run_.api.api_url = core::api_base_url(run_.api.api_url);
  // Every request to an address that cannot be requested would fail.
  try {
    core::check_request_url(run_.api.api_url);
  } catch (const core::HttpError& e) {
    throw std::invalid_argument(std::string("[main] api_uri is not a usable address: ") + e.what());
  }
  log("info", "settings", "Corvane WAF API Base URL: " + run_.api.api_url);
  run_.endpoints.build_first(run_.api.api_url);

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

  run_.api.sys_proxy = proxy_mapping("sys_proxy");
  run_.api.api_proxy = proxy_mapping("api_proxy");

  load_identity();
  run_.api.cookie = Json::object({{"key", run_.api.key}});
  run_.api.ca_bundle = opts_.ca_bundle;
  run_.api.headers = Json::object({{"User-Agent", "Corvane AI TESSEL Service (" + run_.uuid + ")"}});

  auto in_use = [](const Json& proxy) {
    return !proxy.empty() && !proxy.value("http", "").empty() && !proxy.value("https", "").empty();
  };
  if (in_use(run_.api.sys_proxy))
    log("info", "settings", "System proxy server: " + run_.api.sys_proxy["http"].get<std::string>());
  if (in_use(run_.api.api_proxy))
    log("info", "settings", "API proxy server: " + run_.api.api_proxy["http"].get<std::string>());

  run_.endpoints.build_last(run_.api.api_url);
  return true;
}

// {"http": proxy, "https": proxy} from a [proxy] option, or {} without one.
Json Service::proxy_mapping(const char* option) {
  if (!config_parser_.has_option("proxy", option)) return Json::object();
  const std::string text = config_parser_.get("proxy", option);
  if (text.empty()) return Json::object();
  const std::string proxy = core::add_url_schema(text, run_.sink);
  return Json::object({{"http", proxy}, {"https", proxy}});
}

// The instance id lives in the model directory; the key and the GeoIP token
// come from the configuration file.
void Service::load_identity() {
  run_.uuid = instance_id(path_join(run_.paths.models_dir, "instance_id"));
  run_.ip = primary_address();
}

// Settings from the management API, or the local copy when it cannot be
// reached.
void Service::fetch_settings() {
  if (!run_.endpoints.get_tessel_settings_hash_url.empty()) {
    settings_.asa_settings_hash =
        core::asa_settings_get_hash(run_.endpoints.get_tessel_settings_hash_url, run_.api, run_.sink);
  }
  if (!run_.endpoints.get_tessel_settings_url.empty()) {
    // Without a fresh copy the settings thread starts from the hash of the
    // copy in force, so that it fetches the settings it has not got yet.
    if (!core::asa_settings_get(run_.paths.tessel_settings_db, run_.endpoints.get_tessel_settings_url, run_.api,
                                run_.sink)) {
      settings_.asa_settings_hash = core::asa_settings_stored_hash(run_.paths.tessel_settings_db);
    }
    std::tie(settings_.asa_settings, settings_.asa_settings_wo_otf) =
        core::asa_settings_load(run_.paths.tessel_settings_db, run_.sink);
  }
}

// The hosts protected by machine-learning detection. A host listed twice
// counts once.
void Service::load_hosts() {
  if (!run_.endpoints.get_vhosts_url.empty()) {
    core::vhosts_list_get(run_.paths.tessel_vhosts_list_db, run_.endpoints.get_vhosts_url, run_.api, run_.sink);
    Json current = Json::array();
    for (const auto& h : settings_.mlvh_list) current.push_back(h);
    const Json loaded = core::vhosts_list_load(run_.paths.tessel_vhosts_list_db, current, run_.sink);
    if (!loaded.empty()) {
      std::vector<std::string> hosts;
      for (const auto& h : loaded) {
        auto host = h.get<std::string>();
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(std::move(host));
      }
      settings_.mlvh_list = std::move(hosts);
    }
  }
  settings_.ai_extra = py_truthy(
      core::param_processing(Json(false), "bool", "main__ai_extra", settings_.asa_settings, config_parser_, run_.sink));
  if (!settings_.ai_extra) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is not activated");
  } else if (!settings_.mlvh_list.empty()) {
    log("info", "settings", "Attack detection by Corvane AI TESSEL is activated");
  } else {
    log("warn", "settings", "Attack detection has been activated, but the list of virtual hosts is missing");
  }
}

void Service::apply_ddos_settings() {
  settings_.detectors.ddos = py_truthy(
      core::param_processing(Json(false), "bool", "ddos__enable", settings_.asa_settings, config_parser_, run_.sink));
  if (!settings_.detectors.ddos) return;
  if (config_parser_.has_option("ddos", "wl_ip"))
    settings_.rule_files.ddos_wl_ip_path = config_parser_.get("ddos", "wl_ip");
  if (!settings_.rule_files.ddos_wl_ip_path.empty())
    core::create_path_file(settings_.rule_files.ddos_wl_ip_path, run_.sink);
  if (config_parser_.has_option("ddos", "wl_url"))
    settings_.rule_files.ddos_wl_url_path = config_parser_.get("ddos", "wl_url");
  if (!settings_.rule_files.ddos_wl_url_path.empty())
    core::create_path_file(settings_.rule_files.ddos_wl_url_path, run_.sink);
  core::ddos_settings_apply(*nsi_, settings_.asa_settings, settings_.rule_files.ddos_wl_ip_path,
                            settings_.rule_files.ddos_wl_url_path, run_.sink);
}

void Service::apply_bf_settings() {
  settings_.detectors.bf = py_truthy(
      core::param_processing(Json(false), "bool", "brute__enable", settings_.asa_settings, config_parser_, run_.sink));
  if (!settings_.detectors.bf) return;
  core::bf_wl_apply(*nsi_, settings_.asa_settings, run_.sink);
  auto rule_file = [&](const char* old_name, const char* name, std::string& path) {
    if (config_parser_.has_option("brute", old_name)) {
      path = config_parser_.get("brute", old_name);
      log("warn", "settings",
          std::string("Parameter \"") + old_name + "\" renamed to \"" + name + "\", update your config file");
    }
    if (config_parser_.has_option("brute", name)) path = config_parser_.get("brute", name);
    if (!path.empty()) core::create_path_file(path, run_.sink);
  };
  rule_file("brute_detect_list", "brute_detect", settings_.rule_files.brute_detect_path);
  rule_file("flood_detect_list", "flood_detect", settings_.rule_files.flood_detect_path);
  core::bf_settings_apply(*nsi_, settings_.asa_settings, run_.sink);
}

void Service::apply_schemix_settings() {
  const Json value = core::param_processing(nsi_->get<Json>("schemix_vhosts_list"), "list", "schemix__vhosts_list",
                                            settings_.asa_settings, config_parser_, run_.sink);
  if (!py_truthy(value)) {
    log("info", "settings", "Schemix schema generation is not activated");
    return;
  }
  nsi_->set("schemix_vhosts_list", core::vhosts_list_processing(value, run_.sink));
  std::string joined;
  for (const auto& h : nsi_->get<Json>("schemix_vhosts_list")) {
    if (!joined.empty()) joined += ", ";
    joined += h.get<std::string>();
  }
  log("info", "settings", "Schemix schema generation is activated for vhost: " + joined);
  auto [url, exclude, hashes] = subs_.schemix_settings_get(
      settings_.schemix_hashes, run_.endpoints.get_schemix_base_url, run_.paths.models_dir, run_.api, run_.sink);
  nsi_->set("schemix_url", std::move(url));
  nsi_->set("schemix_exclude_paths", std::move(exclude));
  settings_.schemix_hashes = std::move(hashes);
}

void Service::refresh_reference_data() {
  core::geo_db_update(*run_.geo, core::geocc_fname, run_.geo_token, run_.api, run_.sink);
  core::geo_db_update(*run_.geo, core::geocrwl_fname, run_.geo_token, run_.api, run_.sink);
  cc_data_ = core::geo_db_get(*run_.geo, core::geocc_fname, run_.sink);
  core::b64wl_get(run_.paths.tessel_b64wl_db, base_rapi_url_, run_.api, run_.sink);
}

void Service::load_reference_data() {
  refresh_reference_data();
  if (!settings_.detectors.ddos) log("info", "settings", "DDoS attack detection module is disabled");
  if (!settings_.detectors.bf) log("info", "settings", "BF attack detection module is disabled");
  log("info", "settings", "Event Collector is activated");
}

}  // namespace tessel::svc
