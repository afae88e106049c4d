#pragma once
// The per-host training process.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "core/workers/run_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/nsg.h"

namespace tessel::orvik {

// The pauses of the training process; tests shorten them.
struct TrainingPauses {
  std::chrono::milliseconds pass{std::chrono::seconds(30)};           // between collection passes
  std::chrono::milliseconds retry{std::chrono::seconds(5)};           // short waits and retries
  std::chrono::milliseconds restart_wait{std::chrono::seconds(120)};  // before the process ends for a restart
  std::chrono::milliseconds upload_retry{std::chrono::seconds(30)};   // between model uploads
  std::chrono::milliseconds status_poll{std::chrono::seconds(15)};    // least spacing of trained-mode polls
};

// What the service main hands each training process: the values of the
// host, and the run's paths, addresses and logging as they are.
struct MlCoreArgs {
  std::shared_ptr<Nsg> nsg;
  bool mls = false;                     // [distributed] master
  bool distributed_mode = false;        // [distributed] enable
  LockMap db_processing_lock;           // the locks of this host and the hosts before it
  LockPtr training_lock;                // held around model building
  std::optional<std::string> db_fname;  // staging file, none when the host does not collect
  std::string ml_fnames;                // models_dir/<vhost>*.ml
  std::string db_fnames;                // models_dir/<vhost>*.db
  std::string ml_vhost;                 // the host as listed
  std::string vhost;                    // its file-name form
  std::int64_t dataset_limit = 800000;
  double training_period = 0;  // seconds
  Json training_period_days;   // days, as the management API gave them, or 4
  std::int64_t training_period_days_default = 4;
  // The run's paths (models_dir, backup_dir, tmp_dir, mt_fname), addresses
  // (training, models, remote dataset, exported data, the datasets), call
  // context and logging.
  core::RunContext run;
  TrainingPauses pauses;
  // Set when the service stops: every wait ends at once and the process
  // returns.
  std::stop_token stop;
};

// Runs the training cycle of one host for the life of its thread: collects
// while the host is in its training period, then builds, uploads and
// reports its models and asks for a restart; a trained host is watched for
// a request to train again. Never throws.
void ml_core(const MlCoreArgs& args);

}  // namespace tessel::orvik
