#include "core/workers/settings_thread.h"

#include <map>
#include <utility>

#include "core/base/log.h"
#include "core/data/hosts.h"
#include "core/data/schemas.h"
#include "core/data/settings.h"
#include "core/workers/senders.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/child.h"
#include "shared/runtime/interrupt.h"

namespace tessel::core {

namespace {

// An int in Python's sense, booleans included.
bool is_integer(const Json& v) { return v.is_boolean() || py_is_int(v); }

// Reads an integer setting into nsi; a value that is not an integer is
// replaced by `fallback` with the warning `warning`.
void int_setting(SharedNamespace& nsi, const char* attr, const char* key, const Json& asa_settings,
                 std::int64_t fallback, const char* warning, const LogSink& sink) {
  nsi.set(attr, param_processing(nsi.get<Json>(attr), "int", key, asa_settings, sink));
  const Json v = nsi.get<Json>(attr);
  if (!is_integer(v)) {
    log_processing(sink, "warn", "settings",
                   std::string(warning) + py_str(v) + ", the value will be used: " + std::to_string(fallback));
    nsi.set(attr, Json(fallback));
  }
}

void bool_setting(SharedNamespace& nsi, const char* attr, const char* key, const Json& asa_settings,
                  const LogSink& sink) {
  nsi.set(attr, param_processing(nsi.get<Json>(attr), "bool", key, asa_settings, sink));
}

// Equal settings whatever the order of their keys.
bool same_settings(const Json& a, const Json& b) {
  auto unordered = [](const Json& v) {
    return nlohmann::json::parse(v.dump(-1, ' ', false, Json::error_handler_t::replace));
  };
  return unordered(a) == unordered(b);
}

}  // namespace

void ddos_settings_apply(SharedNamespace& nsi, const Json& asa_settings, const std::string& ddos_wl_ip_path,
                         const std::string& ddos_wl_url_path, const LogSink& sink) {
  auto [ips, urls] = ddos_wl_processing(asa_settings, ddos_wl_ip_path, ddos_wl_url_path,
                                        nsi.get<Json>("ddos_wl_ip_list"), nsi.get<Json>("ddos_wl_url_list"), sink);
  nsi.set("ddos_wl_ip_list", std::move(ips));
  nsi.set("ddos_wl_url_list", std::move(urls));
  int_setting(nsi, "ddos_interval", "ddos__interval", asa_settings, 120,
              "An incorrect interval is set in DDoS attack detection module: ", sink);
  // Windows need at least 2 seconds (a step of at least 1).
  if (const Json v = nsi.get<Json>("ddos_interval");
      v.is_boolean() || (v.is_number_integer() && v.get<std::int64_t>() < 2)) {
    log_processing(
        sink, "warn", "settings",
        "An incorrect interval is set in DDoS attack detection module: " + py_str(v) + ", the value will be used: 120");
    nsi.set("ddos_interval", Json(120));
  }
  log_processing(sink, "info", "settings",
                 "DDoS detection interval: " + py_str(nsi.get<Json>("ddos_interval")) + " sec.");
  bool_setting(nsi, "ddos_latest_only", "ddos__latest_only", asa_settings, sink);
  bool_setting(nsi, "ddos_send_possible", "ddos__send_possible", asa_settings, sink);
}

void bf_wl_apply(SharedNamespace& nsi, const Json& asa_settings, const LogSink& sink) {
  auto [ips, hosts] =
      bf_wl_processing(asa_settings, nsi.get<Json>("bf_wl_ip_list"), nsi.get<Json>("bf_wl_host_list"), sink);
  nsi.set("bf_wl_ip_list", std::move(ips));
  nsi.set("bf_wl_host_list", std::move(hosts));
}

void bf_settings_apply(SharedNamespace& nsi, const Json& asa_settings, const LogSink& sink) {
  int_setting(nsi, "bf_interval", "brute__interval", asa_settings, 30,
              "An incorrect interval is set in BF attack detection module: ", sink);
  int_setting(nsi, "bf_max_val", "brute__max_val", asa_settings, 10,
              "An incorrect max_val is set in BF attack detection module: ", sink);
  log_processing(sink, "info", "settings",
                 "BF detection interval/max_val values: " + py_str(nsi.get<Json>("bf_interval")) + "/" +
                     py_str(nsi.get<Json>("bf_max_val")));
  bool_setting(nsi, "bf_latest_only", "brute__latest_only", asa_settings, sink);
  bool_setting(nsi, "bf_send_possible", "brute__send_possible", asa_settings, sink);
}

void bf_schemas_apply(SharedNamespace& nsi, const Json& asa_settings, const std::string& brute_detect_path,
                      const std::string& flood_detect_path, const LogSink& sink) {
  nsi.set("bf_dfs_schema", get_bf_dfs_schema(asa_settings, nsi.get<Json>("bf_dfs_schema"), sink));
  nsi.set("brute_dfs_schema",
          get_brute_dfs_schema(asa_settings, brute_detect_path, false, nsi.get<Json>("brute_dfs_schema"), sink));
  nsi.set("flood_dfs_schema",
          get_brute_dfs_schema(asa_settings, flood_detect_path, true, nsi.get<Json>("flood_dfs_schema"), sink));
}

namespace {

class SettingsThread {
 public:
  SettingsThread(SettingsThreadArgs a) : a_(std::move(a)), sink_(a_.run.sink), nsi_(*a_.nsi) {}

  // One pass; false when the thread should end.
  bool pass() {
    if (a_.nsg->restart_signal()) return false;
    report_presence();
    report_attackers();
    if (!update_settings()) return false;
    if (!update_hosts()) return false;
    a_.settings.mt_hash = a_.mt_data_get(a_.run.paths.mt_fname, a_.settings.mt_hash, a_.run.endpoints.get_mt_hash_url,
                                         a_.run.endpoints.get_mt_data_url, a_.run.api, a_.run.sink);
    if (!a_.settings.mlvh_list.empty() &&
        a_.tessel_models_receiver(a_.settings.ai_extra, a_.run.paths.models_dir, a_.run.endpoints.get_models_url,
                                  a_.run.api, a_.run.sink)) {
      return restart("Models changed");
    }
    update_schemix_lists();
    return true;
  }

  void log_error(const std::string& text) { log_processing(sink_, "error", "settings", text); }

 private:
  bool restart(const std::string& reason) {
    log_processing(sink_, "warn", "settings", reason + ", the service will be restarted");
    a_.nsg->set_restart_signal(true);
    return false;
  }

  void report_presence() {
    const Json body{{"key", a_.run.api.key}, {"uuid", a_.run.uuid}, {"ip", a_.run.ip}, {"timestamp", unix_now()}};
    try {
      post_json(a_.run.endpoints.set_agent_monitoring_url, body, a_.run.api);
      presence_failing_ = false;
    } catch (const DeliveryError& e) {
      if (!presence_failing_) {
        log_processing(
            sink_, "error", e.network ? "network" : "api",
            "An error occurred while sending data to " + a_.run.endpoints.set_agent_monitoring_url + ": " + e.what());
      }
      presence_failing_ = true;
    }
  }

  // New settings: those that can change at run time go to nsi; any other
  // change needs a new start.
  bool update_settings() {
    const auto u =
        asa_settings_update(a_.run.paths.tessel_settings_db, a_.run.endpoints.get_tessel_settings_hash_url,
                            a_.run.endpoints.get_tessel_settings_url, a_.run.api, a_.settings.asa_settings_hash, sink_);
    if (!u.downloaded) return true;
    a_.settings.asa_settings_hash = u.hash;
    auto [settings, wo_otf] = asa_settings_load(a_.run.paths.tessel_settings_db, sink_);
    if (!same_settings(wo_otf, a_.settings.asa_settings_wo_otf)) return restart("Corvane AI TESSEL settings changed");
    a_.settings.asa_settings = std::move(settings);
    log_processing(sink_, "info", "settings", "Corvane AI TESSEL settings updated");
    if (a_.settings.detectors.ddos) {
      ddos_settings_apply(nsi_, a_.settings.asa_settings, a_.settings.rule_files.ddos_wl_ip_path,
                          a_.settings.rule_files.ddos_wl_url_path, sink_);
    }
    if (a_.settings.detectors.bf) {
      bf_wl_apply(nsi_, a_.settings.asa_settings, sink_);
      bf_settings_apply(nsi_, a_.settings.asa_settings, sink_);
      bf_schemas_apply(nsi_, a_.settings.asa_settings, a_.settings.rule_files.brute_detect_path,
                       a_.settings.rule_files.flood_detect_path, sink_);
    }
    update_schemix_hosts();
    return true;
  }

  void update_schemix_hosts() {
    const Json current = nsi_.get<Json>("schemix_vhosts_list");
    const Json value = param_processing(current, "list", "schemix__vhosts_list", a_.settings.asa_settings, sink_);
    Json hosts = py_truthy(value) ? vhosts_list_processing(value, sink_) : Json::array();
    if (hosts == current) return;
    nsi_.set("schemix_vhosts_list", hosts);
    if (hosts.empty()) {
      log_processing(sink_, "info", "settings", "Schemix schema generation is not activated");
      return;
    }
    std::string joined;
    for (const auto& h : hosts) joined += (joined.empty() ? "" : ", ") + py_str(h);
    log_processing(sink_, "info", "settings", "Schemix schema generation is activated for vhost: " + joined);
  }

  // Another host list (as the next start would take it) needs a new start.
  bool update_hosts() {
    if (a_.run.endpoints.get_vhosts_url.empty()) return true;
    vhosts_list_get(a_.run.paths.tessel_vhosts_list_db, a_.run.endpoints.get_vhosts_url, a_.run.api, sink_);
    Json current = Json::array();
    for (const auto& h : a_.settings.mlvh_list) current.push_back(h);
    const Json loaded = vhosts_list_load(a_.run.paths.tessel_vhosts_list_db, current, sink_.quiet());
    std::vector<std::string> next;
    for (const auto& h : loaded) {
      if (!h.is_string()) continue;
      auto s = h.get<std::string>();
      if (std::find(next.begin(), next.end(), s) == next.end()) next.push_back(std::move(s));
    }
    if (next == a_.settings.mlvh_list) return true;
    return restart("The list of virtual hosts changed");
  }

  void update_schemix_lists() {
    if (nsi_.get<Json>("schemix_vhosts_list").empty()) return;
    auto [url, exclude, hashes] =
        a_.schemix_settings_get(a_.settings.schemix_hashes, a_.run.endpoints.get_schemix_base_url,
                                a_.run.paths.models_dir, a_.run.api, a_.run.sink);
    a_.settings.schemix_hashes = std::move(hashes);
    if (url != nsi_.get<Json>("schemix_url")) nsi_.set("schemix_url", std::move(url));
    if (exclude != nsi_.get<Json>("schemix_exclude_paths")) nsi_.set("schemix_exclude_paths", std::move(exclude));
  }

  // Confirmed attackers of the DDoS and brute-force detectors: one line per
  // address and kind.
  void report_attackers() {
    constexpr std::size_t kMaxLines = 100;
    std::map<std::pair<std::string, int>, std::string> seen;
    std::vector<std::pair<std::string, int>> order;
    for (auto& list : a_.run.queues.q_aad->drain()) {
      for (auto& e : list) {
        auto k = std::make_pair(e.ip, e.kind);
        if (seen.emplace(k, e.label).second) order.push_back(k);
      }
    }
    std::size_t n = 0;
    for (const auto& k : order) {
      if (n++ == kMaxLines) {
        log_processing(sink_, "info", "misc",
                       "Confirmed attackers: " + std::to_string(order.size() - kMaxLines) + " more");
        break;
      }
      const char* category = k.second == kDDoS ? "ddos" : "bf";
      log_processing(sink_, "info", category, "Confirmed attacker " + k.first + ": " + seen[k]);
    }
  }

  SettingsThreadArgs a_;
  const LogSink& sink_;
  SharedNamespace& nsi_;
  bool presence_failing_ = false;
};

}  // namespace

void settings_n_ad_processing(SettingsThreadArgs args, const std::stop_token& stop, SettingsThreadOptions opts) {
  const auto pause = opts.period + std::chrono::seconds(std::max<std::int64_t>(args.asa_delay, 0));
  SettingsThread t(std::move(args));
  while (!sleep_or_stop(std::chrono::duration_cast<std::chrono::milliseconds>(pause), stop)) {
    try {
      if (!t.pass()) return;
    } catch (const std::exception& e) {
      t.log_error(std::string("An error occurred in settings_n_ad_processing: ") + e.what());
    }
  }
}

}  // namespace tessel::core
