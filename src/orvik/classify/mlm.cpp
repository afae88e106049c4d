#include "orvik/classify/mlm.h"

#include "core/log.h"
#include "shared/runtime/child.h"

namespace tessel::orvik {

MLM::MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
         std::string mt_fname, std::shared_ptr<AttackQueue> q_attack_api, std::shared_ptr<TableQueue> q_mt_api,
         RmqParamList rmq_rc_param_list, std::string tessel_rmq_q, std::shared_ptr<EventQueue> q_ec, Logger& log,
         bool debug)
    : db_fnames_dict_(std::move(db_fnames_dict)),
      models_dir_(std::move(models_dir)),
      ai_extra_(ai_extra),
      mlvh_list_(std::move(mlvh_list)),
      mt_fname_(std::move(mt_fname)),
      q_attack_api_(std::move(q_attack_api)),
      q_mt_api_(std::move(q_mt_api)),
      rmq_rc_param_list_(std::move(rmq_rc_param_list)),
      tessel_rmq_q_(std::move(tessel_rmq_q)),
      q_ec_(std::move(q_ec)),
      log_(log),
      debug_(debug),
      lttl_(unix_now() + 30) {
  core::log_processing(*q_ec_, log_, "info", "ml", "ML attack detection module is running");
}

// Classification is not built yet: the requests are dropped.
void MLM::dfs_processing(const std::shared_ptr<Nsg>&, const LockMap&, RequestTable) {}

}  // namespace tessel::orvik
