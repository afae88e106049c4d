#pragma once
// The per-host training process.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "shared/pyvalues/json.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/queues.h"

namespace tessel::orvik {

// The 36 values the service main hands each training process, in order.
struct MlCoreArgs {
  std::shared_ptr<Nsg> nsg;
  bool mls = false;               // [distributed] master
  bool distributed_mode = false;  // [distributed] enable
  std::string set_mls_data_url;
  std::string get_mls_data_url;
  std::string del_mls_data_url;
  LockMap db_processing_lock;           // the locks of this host and the hosts before it
  LockPtr training_lock;                // held around model building
  std::optional<std::string> db_fname;  // staging file, none when the host does not collect
  std::string ml_fnames;                // models_dir/<vhost>*.ml
  std::string db_fnames;                // models_dir/<vhost>*.db
  std::string models_dir;
  std::string backup_dir;
  std::string tmp_dir;
  std::string ml_vhost;  // the host as listed
  std::string vhost;     // its file-name form
  std::int64_t dataset_limit = 800000;
  std::string key;
  double training_period = 0;  // seconds
  Json training_period_days;   // days, as the management API gave them, or 4
  std::int64_t training_period_days_default = 4;
  std::string get_training_url;
  std::string set_training_url;
  std::string set_training_progress_url;
  std::string bl_dataset_url;
  std::string wl_dataset_url;
  std::string set_models_url;
  Json sys_proxy;
  Json api_proxy;
  Json headers;
  std::string get_mt_hash_url;
  std::string get_mt_data_url;
  std::string mt_fname;
  std::shared_ptr<EventQueue> q_ec;
  Logger* log = nullptr;
  bool debug = false;
};

// Runs the training cycle of one host for the life of its thread.
void ml_core(const MlCoreArgs& args);

}  // namespace tessel::orvik
