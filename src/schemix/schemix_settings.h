#pragma once
// The schema-generation lists of the management API and their local copies.
#include <optional>
#include <string>
#include <tuple>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::schemix {

// Asks a hash endpoint for a list's version: "none" for a reply with status
// "none", the reply's "hash" (null when it has none) for "success", nullopt
// on every failure (also for a "hash" of false). `auth_data` is the request
// body, `headers` the request headers.
std::optional<Json> schemix_hash_get(const std::string& url, const std::string& auth_data, const Json& headers,
                                     const core::ApiContext& api, const LogSink& sink);

// Downloads a list into its cache file `fname`: the reply body when it is a
// JSON object with the member `param`, otherwise an empty file. The file is
// replaced whole or left as it was. True when a reply with a "20" status
// was received and the file written.
bool schemix_data_get(const std::string& url, const std::string& param, const std::string& fname,
                      const std::string& auth_data, const Json& headers, const core::ApiContext& api,
                      const LogSink& sink);

// Refreshes the lists "url" and "exclude_paths" into "schemix_<name>.json" in
// `models_dir` when their hashes at the management API changed, recording
// a hash in `schemix_hashes` (list name to hash, changed in place) once its
// list was stored, and returns (the "url" list, the "exclude_paths" entries
// as schema name + path, `schemix_hashes`). Never throws.
std::tuple<Json, Json, Json> schemix_settings_get(Json& schemix_hashes, const std::string& get_schemix_base_url,
                                                  const std::string& models_dir, const core::ApiContext& api,
                                                  const LogSink& sink);

}  // namespace tessel::schemix
