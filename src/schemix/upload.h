#pragma once
// Upload of new schema fragments to the management API.
#include <string>
#include <vector>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::schemix {

// The upload body of one fragment: {"key": key, "set": {"schema_name": name,
// "url": path, "schema": base64 of the fragment's canonical text}}.
std::string upload_body(const std::string& key, const Json& fragment);

// Posts every distinct fragment of `data` to `url` once, in a request of its
// own, and logs each failure. Returns the fragments whose upload failed.
std::vector<Json> schemix_schemas_api_set(const std::string& url, const std::vector<Json>& data,
                                          const core::ApiContext& api, const LogSink& sink);

}  // namespace tessel::schemix
