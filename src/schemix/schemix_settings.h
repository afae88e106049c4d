#pragma once
// The schema-generation lists of the management API and their local copies.
#include <string>
#include <tuple>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::schemix {

// Refreshes the lists "url" and "exclude_paths" into "schemix_<name>.json" in
// `models_dir` when their hashes at the management API changed, recording
// the hashes in `schemix_hashes` (list name to hash, changed in place), and
// returns (the "url" list, the "exclude_paths" list, `schemix_hashes`).
// Never throws.
std::tuple<Json, Json, Json> schemix_settings_get(Json& schemix_hashes, const std::string& get_schemix_base_url,
                                                  const std::string& models_dir, const core::ApiContext& api,
                                                  const LogSink& sink);

}  // namespace tessel::schemix
