#pragma once
// The brute-force and flood detector host.
#include <memory>
#include <string>

#include "shared/runtime/detector.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::passgate {

class BFM : public WindowDetector {
 public:
  // Logs "BF attack detection module is running".
  BFM(std::shared_ptr<AadQueue> q_aad, std::string tessel_rmq_q, std::shared_ptr<AttackQueue> q_attack_bd,
      RmqParamList rmq_rc_param_list, std::string set_attack_url, std::string geo_token, Json sys_proxy, Json headers,
      std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug);

  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

 private:
  std::shared_ptr<AadQueue> q_aad_;
  std::string tessel_rmq_q_;
  std::shared_ptr<AttackQueue> q_attack_bd_;
  RmqParamList rmq_rc_param_list_;
  std::string set_attack_url_;
  std::string geo_token_;
  Json sys_proxy_;
  Json headers_;
  std::shared_ptr<EventQueue> q_ec_;
  Logger& log_;
  bool debug_;
};

}  // namespace tessel::passgate
