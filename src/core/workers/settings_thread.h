#pragma once
// The settings applied to the shared namespace, at start-up and while the
// service runs, and the settings-update thread that follows the management
// API.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include "core/net/api_context.h"
#include "core/workers/run_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/paths.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::core {

// DDoS detection: the white lists (files and settings), "ddos__interval"
// (not an integer: a warning and 120), "ddos__latest_only",
// "ddos__send_possible". Logs "DDoS detection interval: {} sec.".
void ddos_settings_apply(SharedNamespace& nsi, const Json& asa_settings, const std::string& ddos_wl_ip_path,
                         const std::string& ddos_wl_url_path, const LogSink& sink);
// Brute-force detection: the white lists from the settings.
void bf_wl_apply(SharedNamespace& nsi, const Json& asa_settings, const LogSink& sink);
// Brute-force detection: "brute__interval" (not an integer: a warning and
// 30), "brute__max_val" (10), "brute__latest_only", "brute__send_possible".
// Logs "BF detection interval/max_val values: {}/{}".
void bf_settings_apply(SharedNamespace& nsi, const Json& asa_settings, const LogSink& sink);
// The three request-table schemas of brute-force detection, each stored
// before the next is computed.
void bf_schemas_apply(SharedNamespace& nsi, const Json& asa_settings, const std::string& brute_detect_path,
                      const std::string& flood_detect_path, const LogSink& sink);

// The subsystem functions the settings thread calls, as values.
using MtDataGetFn = std::function<std::string(const std::string& mt_fname, const std::string& mt_hash_last,
                                              const std::string& get_mt_hash_url, const std::string& get_mt_data_url,
                                              const ApiContext& api, const LogSink& sink)>;
using ModelsReceiverFn =
    std::function<bool(bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                       const ApiContext& api, const LogSink& sink)>;
using SchemixSettingsGetFn = std::function<std::tuple<Json, Json, Json>(
    Json& schemix_hashes, const std::string& get_schemix_base_url, const std::string& models_dir, const ApiContext& api,
    const LogSink& sink)>;

// The white-list and rule files named by the configuration file.
struct RuleFiles {
  std::string ddos_wl_ip_path;
  std::string ddos_wl_url_path;
  std::string brute_detect_path;
  std::string flood_detect_path;
};

// The settings in force at start-up and what was derived from them: the
// protected hosts, the detector switches and the configured list files.
struct SettingsState {
  std::string asa_settings_hash;
  std::string mt_hash;
  Json schemix_hashes = Json::object();
  Json asa_settings = Json::object();
  Json asa_settings_wo_otf = Json::object();
  std::vector<std::string> mlvh_list;
  bool ai_extra = false;
  DetectorSwitches detectors;
  RuleFiles rule_files;
};

// What the service main hands the settings thread. The thread owns its
// copies (host list, hashes, settings).
struct SettingsThreadArgs {
  std::shared_ptr<Nsg> nsg;
  std::shared_ptr<SharedNamespace> nsi;
  RunContext run;
  SettingsState settings;
  std::string tessel_conf_file;
  std::int64_t asa_delay = 0;  // seconds added to every pause
  MtDataGetFn mt_data_get;
  ModelsReceiverFn tessel_models_receiver;
  SchemixSettingsGetFn schemix_settings_get;
};

struct SettingsThreadOptions {
  std::chrono::milliseconds period{60000};  // between passes, before asa_delay
};

// The settings-update thread. Every pass (period + asa_delay seconds):
// reports the instance to "/v1/set_agent_monitoring"; fetches the settings
// when their hash changed and applies what can change at run time to nsi;
// refreshes the host list, the exported false-positive data, the models and
// the schema-generation lists; logs the confirmed attackers taken from
// q_aad. A change that needs a new start (a setting that is not applied at
// run time, another host list, models received or removed) sets
// nsg.restart_signal and ends the thread, as does a restart signal set
// elsewhere. Runs until then or until `stop`.
void settings_n_ad_processing(SettingsThreadArgs args, const std::stop_token& stop, SettingsThreadOptions opts = {});

}  // namespace tessel::core
