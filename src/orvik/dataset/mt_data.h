#pragma once
// The exported false-positive data of the management API.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <string>

#include "core/net/api_context.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// Downloads the exported false-positive data into `mt_fname` when the hash
// the management API reports differs from `mt_hash_last`; returns the hash
// now valid. Never throws.
std::string mt_data_get(const std::string& mt_fname, const std::string& mt_hash_last,
                        const std::string& get_mt_hash_url, const std::string& get_mt_data_url,
                        const core::ApiContext& api, const LogSink& sink);

}  // namespace tessel::orvik
