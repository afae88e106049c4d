#pragma once
// The per-host training process.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/workers/run_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/nsg.h"

namespace tessel::orvik {

// What the service main hands each training process: the values of the
// host, and the run's paths, addresses and logging as they are.
struct MlCoreArgs {
  std::shared_ptr<Nsg> nsg;
  bool mls = false;               // [distributed] master
  bool distributed_mode = false;  // [distributed] enable
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
};

// Runs the training cycle of one host for the life of its thread.
void ml_core(const MlCoreArgs& args);

}  // namespace tessel::orvik
