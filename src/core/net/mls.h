#pragma once
// The remote dataset store of a distributed installation: nodes upload the
// values they collected per host, the master fetches and deletes them.
// Wire bodies: docs/management-api.md.
#include <string>
#include <vector>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::core {

// Uploads `data` (zone name to list of values) as one record of host
// `ml_vhost`; true when the store answered "success". Failures are logged.
bool mls_data_set(const std::string& type, const std::string& url, const Json& data, const std::string& ml_vhost,
                  const ApiContext& api, const LogSink& sink);

// The host's records: record key to zone name to list of values (values as
// text). An empty object when there are none or on a failure (logged); a
// reply that is not of that shape is a failure.
Json mls_data_get(const std::string& type, const std::string& url, const std::string& ml_vhost, const ApiContext& api,
                  const LogSink& sink);

// Deletes the host's records with the keys `rids` (repeated keys are sent
// once); true on "success". Failures are logged.
bool mls_data_del(const std::string& type, const std::string& url, const std::string& ml_vhost,
                  const std::vector<std::string>& rids, const ApiContext& api, const LogSink& sink);

}  // namespace tessel::core
