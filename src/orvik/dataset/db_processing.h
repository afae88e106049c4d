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

// Moves the rows staged in `db_fname` into the dataset file `d_fname`
// (merged with its values and, when `mls`, the remote store's records; at
// most `dataset_limit` values per zone), or uploads them when
// `distributed_mode` and not `mls`. Only the rows read are removed from the
// staging table, and only once they are safe. Takes
// db_processing_lock[ml_vhost] itself; the caller must not hold it. Never
// throws; every outcome is logged. True when the staged rows are safe (in
// the dataset file or taken by the store) or there was no table to read;
// false when the update failed or gave way to a pending restart: the rows
// stay staged, the previous dataset file stays unless it is foreign or
// damaged, and the next update tries again.
bool db_processing(const std::shared_ptr<Nsg>& nsg, bool mls, bool distributed_mode,
                   const std::string& set_mls_data_url, const std::string& get_mls_data_url,
                   const std::string& del_mls_data_url, const LockMap& db_processing_lock,
                   const std::string& ml_vhost, std::int64_t dataset_limit, const std::string& db_fname,
                   const std::string& d_fname, std::int64_t training_pcnt, const core::ApiContext& api,
                   const LogSink& sink);

}  // namespace tessel::orvik
