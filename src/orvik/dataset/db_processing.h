#pragma once
// The dataset update: staged rows into the host's dataset file, or to the
// remote dataset store on a node of a distributed installation that is not
// the master.
#include <cstdint>
#include <memory>
#include <string>

#include "core/net/api_context.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/nsg.h"

namespace tessel::orvik {

// Where a host's staged rows go, from the [distributed] options "master"
// and "enable".
enum class DatasetSharing {
  local,   // merged into the dataset file (neither option)
  master,  // merged with the remote store's records, which are then deleted
           // there ("master", whatever "enable" says)
  node,    // uploaded to the remote store; no dataset file ("enable" only)
};
DatasetSharing dataset_sharing(bool mls, bool distributed_mode);

// What one dataset update works on.
struct DbProcessingArgs {
  std::shared_ptr<Nsg> nsg;  // only restart_signal is read
  DatasetSharing sharing = DatasetSharing::local;
  std::string set_mls_data_url;  // the remote store's endpoints
  std::string get_mls_data_url;
  std::string del_mls_data_url;
  LockMap db_processing_lock;           // holds the lock of ml_vhost
  std::string ml_vhost;                 // the host as listed
  std::int64_t dataset_limit = 800000;  // values kept per zone
  std::string db_fname;                 // staging file
  std::string d_fname;                  // dataset file
  std::int64_t training_pcnt = 0;       // below 100 the period runs
  core::ApiContext api;
  LogSink sink;
};

// Moves the rows staged in `db_fname` into the dataset file `d_fname`
// (merged with its values and, for a master, the remote store's records; at
// most `dataset_limit` values per zone), or uploads them on a node. Only
// the rows read are removed from the staging table, and only once they are
// safe. Takes db_processing_lock[ml_vhost] itself; the caller must not hold
// it. Never throws; every outcome is logged. True when the staged rows are
// safe (in the dataset file or taken by the store) or there was no table to
// read; false when the update failed or gave way to a pending restart: the
// rows stay staged, the previous dataset file stays unless it is foreign or
// damaged, and the next update tries again.
bool db_processing(const DbProcessingArgs& args);

}  // namespace tessel::orvik
