#pragma once
// The classification host: one worker per table of new requests.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shared/runtime/detector.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::orvik {

class MLM : public MlDetector {
 public:
  // db_fnames_dict: protected host as listed to the path of its staging
  // file (hosts that collect traffic only). Logs "ML attack detection
  // module is running".
  MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
      std::string mt_fname, std::shared_ptr<AttackQueue> q_attack_api, std::shared_ptr<TableQueue> q_mt_api,
      RmqParamList rmq_rc_param_list, std::string tessel_rmq_q, std::shared_ptr<EventQueue> q_ec, Logger& log,
      bool debug);

  void dfs_processing(const std::shared_ptr<Nsg>& nsg, const LockMap& db_processing_lock, RequestTable dfs) override;

 private:
  Json db_fnames_dict_;
  std::string models_dir_;
  bool ai_extra_;
  std::vector<std::string> mlvh_list_;
  std::string mt_fname_;
  std::shared_ptr<AttackQueue> q_attack_api_;
  std::shared_ptr<TableQueue> q_mt_api_;
  RmqParamList rmq_rc_param_list_;
  std::string tessel_rmq_q_;
  std::shared_ptr<EventQueue> q_ec_;
  Logger& log_;
  bool debug_;
  std::int64_t lttl_;
};

}  // namespace tessel::orvik
