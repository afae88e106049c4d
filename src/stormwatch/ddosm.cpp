#include "stormwatch/ddosm.h"

#include "core/log.h"

namespace tessel::stormwatch {

DDoSM::DDoSM(std::shared_ptr<AadQueue> q_aad, std::string tessel_rmq_q, std::shared_ptr<AttackQueue> q_attack_bd,
             RmqParamList rmq_rc_param_list, std::string set_attack_url, std::string geo_token, Json sys_proxy,
             Json headers, std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug)
    : q_aad_(std::move(q_aad)),
      tessel_rmq_q_(std::move(tessel_rmq_q)),
      q_attack_bd_(std::move(q_attack_bd)),
      rmq_rc_param_list_(std::move(rmq_rc_param_list)),
      set_attack_url_(std::move(set_attack_url)),
      geo_token_(std::move(geo_token)),
      sys_proxy_(std::move(sys_proxy)),
      headers_(std::move(headers)),
      q_ec_(std::move(q_ec)),
      log_(log),
      debug_(debug) {
  core::log_processing(*q_ec_, log_, "info", "ddos", "DDoS attack detection module is running");
}

// Window analysis is not built yet: the requests are dropped.
void DDoSM::dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable) {}

}  // namespace tessel::stormwatch
