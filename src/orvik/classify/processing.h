#pragma once
// Classification of the requests of one protected host: zone normalisation,
// model analysis, white list, verdict, exported false-positive exceptions,
// staging of clean traffic and attack reports.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/workers/run_context.h"
#include "orvik/classify/models.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/request.h"

namespace tessel::orvik {

// What the exported false-positive step made of one flagged record.
enum class PeBt {
  not_run,  // the step did not run or gave up: the verdict stands
  cleared,  // 0: every flagged zone is excepted
  remains,  // 12: zones remain flagged (the record's mz names them)
  other,    // any other code: the record is dropped
};

// The exported false-positive step for one flagged record: removes from
// `ml_z` the zones the exceptions clear, may rewrite zone values of the
// record and its mz.
using FpStep = std::function<PeBt(RequestRecord& record, const std::string& ml_vhost, const std::string& vhost,
                                  std::vector<std::string>& ml_z)>;

// The training data store and the broker as classification uses them.
struct ClassifyServices {
  // Reads the exported false-positive data once per call of ml_processing
  // and returns the step for its records.
  std::function<FpStep(const std::string& mt_fname, const LogSink& sink)> mt_data_load;
  // Appends the rows to the host's staging file under the host's lock.
  std::function<void(const RequestTable& table, const LockMap& db_processing_lock, const std::string& ml_vhost,
                     const std::string& db_fname, const LogSink& sink)>
      put_data_into_db;
  // Publishes detected rows on the brokers; false when a broker failed.
  std::function<bool(const Json& rows, int attack_kind, const RmqParamList& rmq_rc_param_list,
                     const std::string& tessel_rmq_q, const LogSink& sink)>
      rmq_bt_processing;

  // The service's own: the training data store and core's publisher.
  static ClassifyServices real();
};

// What every classification call of the run shares.
struct ClassifyContext {
  std::string models_dir;
  std::string mt_fname;
  core::DetectorContext ctx;  // logging, queues (q_attack_api, q_mt_api), brokers
  ClassifyServices services;
  std::shared_ptr<ModelStore> models = std::make_shared<ModelStore>();
};

// Classifies the rows of one host entry `ml_vhost` (as listed). `models`
// not usable: the host has no models. `db_fname` set: the host collects traffic.
// Never throws.
void ml_processing(const std::shared_ptr<Nsg>& nsg, RequestTable data, const LockMap& db_processing_lock,
                   const std::string& ml_vhost, const ClassifyModels& models, bool vhost_ai_extra,
                   const std::optional<std::string>& db_fname, const ClassifyContext& cc);

// Reports the detected rows of one batch: the table (columns
// core::tessel_df_columns()) on q_mt_api, the brokers with kind 8, and an
// AttackReport with possible false and description "Corvane AI TESSEL" on
// q_attack_api. A failed broker publish is logged and the report still
// goes to q_attack_api. Never throws.
void ml_attack_processing(RequestTable dfs, const ClassifyContext& cc);

}  // namespace tessel::orvik
