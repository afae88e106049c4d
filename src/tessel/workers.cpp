// The detector hosts, request intake, the senders and the threads of one
// run.
#include <utility>

#include "core/base/log.h"
#include "core/workers/feeder.h"
#include "core/workers/hw_overload.h"
#include "core/workers/senders.h"
#include "core/workers/settings_thread.h"
#include "tessel/run.h"

namespace tessel::svc {

bool Service::build_detectors() {
  auto& q = run_.queues;
  const core::DetectorContext& ctx = run_;
  if (settings_.detectors.bf) {
    try {
      core::bf_schemas_apply(*nsi_, settings_.asa_settings, settings_.rule_files.brute_detect_path,
                             settings_.rule_files.flood_detect_path, run_.sink);
      bf_m_ = subs_.make_bfm(ctx);
    } catch (const std::exception& e) {
      log("fatal", "bf", std::string("An error occurred while starting BF attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (settings_.detectors.ddos) {
    try {
      ddos_m_ = subs_.make_ddosm(ctx);
    } catch (const std::exception& e) {
      log("fatal", "ddos", std::string("An error occurred while starting DDoS attack detection module: ") + e.what());
      restart_protocol(true);
      return false;
    }
  }
  if (settings_.detectors.bf || settings_.detectors.ddos) {
    auto child = start_worker("q_attack_bd_processing", [nsi = nsi_, q, sink = run_.sink](const std::stop_token& st) {
      core::q_attack_bd_processing(nsi, q.q_attack_bd, q.q_attack_api, sink, st);
    });
    log_started("q_attack_bd_processing", child);
  }
  try {
    oa_m_ = subs_.make_oam(opts_.schema_seconds, ctx);
  } catch (const std::exception& e) {
    log("fatal", "schemix",
        std::string("An error occurred while starting Schemix schema generator module: ") + e.what());
    restart_protocol(true);
    return false;
  }
  settings_.mt_hash = subs_.mt_data_get(run_.paths.mt_fname, settings_.mt_hash, run_.endpoints.get_mt_hash_url,
                                        run_.endpoints.get_mt_data_url, run_.api, run_.sink);
  if (!settings_.mlvh_list.empty() &&
      subs_.tessel_models_receiver(settings_.ai_extra, run_.paths.models_dir, run_.endpoints.get_models_url, run_.api,
                                   run_.sink)) {
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
  auto& q = run_.queues;
  const bool use_dyn_unlock = !run_.rmq_rc_param_list.empty();
  for (const auto& entry : run_.rmq_rc_param_list) {
    ingestor::ConsumerArgs args{
        .broker = {.rmq_rconnection_param = entry.url,
                   .rmq_rhost = entry.host,
                   .tessel_rmq_q = run_.tessel_rmq_q,
                   .rmq_rc_param_list = run_.rmq_rc_param_list,
                   .use_dyn_unlock = use_dyn_unlock},
        .route = {.q_local = q.q_local, .detectors = settings_.detectors, .mlvh_list = settings_.mlvh_list},
        .q_stats = q.q_stats,
        .q_api = q.q_api,
    };
    auto child = start_worker("dyn_queue_consumer",
                              [nsg = run_nsg_, nsi = nsi_, args = std::move(args), sink = run_.sink,
                               f = subs_.dyn_queue_consumer](const std::stop_token&) { f(*nsg, nsi, args, sink); });
    log_started("dyn_queue_consumer", child);
  }
  auto sender = start_worker(
      "rmq_log_and_api_processing", [ip = run_.ip, uuid = run_.uuid, e = run_.endpoints, api = run_.api,
                                     geo_token = run_.geo_token, q, sink = run_.sink](const std::stop_token& st) {
        core::rmq_log_and_api_processing(ip, uuid, e, api, geo_token, q.q_attack_api, q.q_mt_api, q.q_api, sink, st);
      });
  log_started("rmq_log_and_api_processing", sender);
  auto stats = start_worker("rmq_stats_processing",
                            [e = run_.endpoints, api = run_.api, q, sink = run_.sink](const std::stop_token& st) {
                              core::rmq_stats_processing(e, api, q.q_stats, sink, st);
                            });
  log_started("rmq_stats_processing", stats);
  start_worker("geoip2memc",
               [geo = run_.geo, geo_token = run_.geo_token, api = run_.api, q, sink = run_.sink](
                   const std::stop_token& st) { core::geoip2memc(q.q_geoip, geo, geo_token, api, sink, st); });
}

// One training process per protected host, then the classification host.
void Service::start_threads() {
  core::SettingsThreadArgs a{run_nsg_,
                             nsi_,
                             run_,
                             settings_,
                             conf_file_,
                             asa_delay_,
                             subs_.mt_data_get,
                             subs_.tessel_models_receiver,
                             subs_.schemix_settings_get};
  start_worker("settings_n_ad_processing",
               [a = std::move(a), opts = core::SettingsThreadOptions{opts_.settings_period}](
                   const std::stop_token& st) { core::settings_n_ad_processing(a, st, opts); });
  core::HwOverloadOptions hw;
  hw.sample = opts_.hw_sample;
  start_worker("hw_overload_check", [nsg = run_nsg_, sink = run_.sink, hw](const std::stop_token& st) {
    core::hw_overload_check(*nsg, sink, st, hw);
  });
}

}  // namespace tessel::svc
