#pragma once
// The exported false-positive data of the management API.
#include <string>

#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::orvik {

// Downloads the exported false-positive data into `mt_fname` when the hash
// the management API reports differs from `mt_hash_last`; returns the hash
// now valid. Never throws.
std::string mt_data_get(const std::string& mt_fname, const std::string& mt_hash_last,
                        const std::string& get_mt_hash_url, const std::string& get_mt_data_url, const std::string& key,
                        const Json& api_proxy, const Json& headers, EventQueue& q_ec, Logger& log, bool debug);

}  // namespace tessel::orvik
