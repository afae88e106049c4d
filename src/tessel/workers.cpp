// The detector hosts, request intake, the senders and the threads of one
// run.
#include <utility>

#include "core/log.h"
#include "core/workers/feeder.h"
#include "core/workers/hw_overload.h"
#include "core/workers/senders.h"
#include "core/workers/settings_thread.h"
#include "tessel/run.h"

namespace tessel::svc {

core::DetectorContext Service::detector_context() const {
  core::DetectorContext ctx;
  ctx.sink = sink_;
  ctx.api = api_;
  ctx.endpoints = endpoints_;
  ctx.rmq_rc_param_list = rmq_rc_param_list_;
  ctx.tessel_rmq_q = tessel_rmq_q_;
  ctx.geo_token = geo_token_;
  ctx.geo = geo_;
  ctx.q_aad = queues_.q_aad;
  ctx.q_attack_bd = queues_.q_attack_bd;
  ctx.q_attack_api = queues_.q_attack_api;
  ctx.q_mt_api = queues_.q_mt_api;
  return ctx;
}

bool Service::build_detectors() {
  auto& q = queues_;
  const core::DetectorContext ctx = detector_context();
  if (bf_en_) {
    try {
      core::bf_schemas_apply(*nsi_, asa_settings_, rule_files_.brute_detect_path, rule_files_.flood_detect_path, sink_);
      bf_m_ = subs_.make_bfm(ctx);
    } catch (const std::exception& e) {
      log("fatal", "bf", std::string("An error occurred while starting BF attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (ddos_en_) {
    try {
      ddos_m_ = subs_.make_ddosm(ctx);
    } catch (const std::exception& e) {
      log("fatal", "ddos", std::string("An error occurred while starting DDoS attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (bf_en_ || ddos_en_) {
    auto child =
        start_worker("q_attack_bd_processing", [nsi = nsi_, q, sink = sink_](std::stop_token st) {
          core::q_attack_bd_processing(nsi, q.q_attack_bd, q.q_attack_api, sink, st);
        });
    log_started("q_attack_bd_processing", child);
  }
  try {
    oa_m_ = subs_.make_oam(oa_loop_int_, ctx);
  } catch (const std::exception& e) {
    log("fatal", "schemix",
        std::string("An error occurred while starting Schemix schema generator module: ") + e.what());
    restart_protocol(true);
    return false;
  }
  mt_hash_ =
      subs_.mt_data_get(paths_.mt_fname, mt_hash_, endpoints_.get_mt_hash_url, endpoints_.get_mt_data_url, api_, sink_);
  if (!mlvh_list_.empty() &&
      subs_.tessel_models_receiver(ai_extra_, paths_.models_dir, endpoints_.get_models_url, api_, sink_)) {
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
  const bool use_dyn_unlock = !rmq_rc_param_list_.empty();
  for (const auto& entry : rmq_rc_param_list_) {
    auto child = start_worker("dyn_queue_consumer",
                              [nsg = run_nsg_, nsi = nsi_, entry, use_dyn_unlock, rmq_q = tessel_rmq_q_,
                               list = rmq_rc_param_list_, q, ddos_en = ddos_en_, bf_en = bf_en_, hosts = mlvh_list_,
                               sink = sink_, f = subs_.dyn_queue_consumer](std::stop_token) {
                                f(*nsg, nsi, entry.url, use_dyn_unlock, entry.host, rmq_q, list, q.q_local, ddos_en,
                                  bf_en, hosts, q.q_stats, q.q_api, sink);
                              });
    log_started("dyn_queue_consumer", child);
  }
  auto sender =
      start_worker("rmq_log_and_api_processing",
                   [ip = ip_, uuid = uuid_, e = endpoints_, api = api_, geo_token = geo_token_, q,
                    sink = sink_](std::stop_token st) {
                     core::rmq_log_and_api_processing(ip, uuid, e, api, geo_token, q.q_attack_api, q.q_mt_api,
                                                      q.q_api, sink, st);
                   });
  log_started("rmq_log_and_api_processing", sender);
  auto stats = start_worker("rmq_stats_processing",
                            [e = endpoints_, api = api_, q, sink = sink_](std::stop_token st) {
                              core::rmq_stats_processing(e, api, q.q_stats, sink, st);
                            });
  log_started("rmq_stats_processing", stats);
  start_worker("geoip2memc",
               [geo = geo_, geo_token = geo_token_, api = api_, q, sink = sink_](std::stop_token st) {
                 core::geoip2memc(q.q_geoip, geo, geo_token, api, sink, st);
               });
}

// One training process per protected host, then the classification host.
void Service::start_threads() {
  core::SettingsThreadArgs a;
  a.nsg = run_nsg_;
  a.nsi = nsi_;
  a.asa_delay = asa_delay_;
  a.endpoints = endpoints_;
  a.asa_settings_hash = asa_settings_hash_;
  a.mt_hash = mt_hash_;
  a.schemix_hashes = schemix_hashes_;
  a.asa_settings = asa_settings_;
  a.asa_settings_wo_otf = asa_settings_wo_otf_;
  a.mlvh_list = mlvh_list_;
  a.paths = paths_;
  a.tessel_conf_file = conf_file_;
  a.rule_files = rule_files_;
  a.ai_extra = ai_extra_;
  a.bf_en = bf_en_;
  a.ddos_en = ddos_en_;
  a.uuid = uuid_;
  a.ip = ip_;
  a.geo_token = geo_token_;
  a.mt_data_get = subs_.mt_data_get;
  a.tessel_models_receiver = subs_.tessel_models_receiver;
  a.schemix_settings_get = subs_.schemix_settings_get;
  a.api = api_;
  a.q_aad = queues_.q_aad;
  a.sink = sink_;
  start_worker("settings_n_ad_processing",
               [a = std::move(a), opts = core::SettingsThreadOptions{opts_.settings_period}](std::stop_token st) {
                 core::settings_n_ad_processing(a, st, opts);
               });
  start_worker("hw_overload_check", [nsg = run_nsg_, sink = sink_](std::stop_token st) {
    core::hw_overload_check(*nsg, sink, st);
  });
}

}  // namespace tessel::svc
