#pragma once
// Building a host's models at the end of its training period.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

#include "core/net/api_context.h"
#include "core/net/endpoints.h"
#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/mt_data.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

struct BuildOptions {
  // Pause between attempts of a dataset download or of a zone's step.
  std::chrono::milliseconds retry_pause{std::chrono::seconds(5)};
  // Attempts of a zone's vectorising or fitting before the zone is given up.
  int zone_attempts = 3;
  int n_jobs = -1;
  // Ends the download retries: the build then writes nothing.
  std::stop_token stop;
};

// Builds per zone one TF-IDF vectoriser and one random forest from the
// host's collected values `training_data` (zone -> list of values; consumed)
// against the dataset service's attack samples (label 1) and its
// white-list plus the exported false-positive values of the host (label
// 0), and writes `<vhost>_rf.ml` and `<vhost>_vect.ml` into `models_dir`.
// `ml_vhost` names the host in messages and chooses the exported entries.
// True when both files were written. Never throws.
bool tessel_models_build(const std::string& models_dir, std::int64_t dataset_limit, const std::string& ml_vhost,
                         const std::string& vhost, DatasetData training_data, const std::string& get_mt_hash_url,
                         const std::string& get_mt_data_url, const core::DatasetUrls& datasets,
                         const core::ApiContext& api, const std::string& mt_fname, const LogSink& sink,
                         const BuildOptions& opts = {});

// The exported false-positive entries (host entry -> zone -> values) that
// apply to `ml_vhost`: none for "*", the domain and its sub-domains for
// ".d", the sub-domains for "*.d", else the exact entry.
MtData::Hosts select_exported_fp(const MtData::Hosts& mt_data, const std::string& ml_vhost);

}  // namespace tessel::orvik
