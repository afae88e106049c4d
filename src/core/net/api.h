#pragma once
// The support layer's own exchanges with the management API and the outside
// services: one request, its failure logged, the reply checked.
#include <optional>
#include <string>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core::detail {

// "network" for an error text that names a connection failure, else "api".
const char* failure_category(const std::string& text);

// Calls take the headers and certificate bundle of `api` and the proxy of
// `route`.
//
// POSTs `body` as JSON ("Content-Type: application/json") to `url` and
// returns the reply object when the status starts with "20", the body is a
// JSON object and its "status" is "success" or "none". Anything else is
// logged ("An error occurred while receiving data from {}: {}") and gives
// nullopt.
std::optional<Json> api_post(const std::string& url, const Json& body, const ApiContext& api, Route route,
                             const LogSink& sink);
// GETs `url` and returns the reply body when the status starts with "20";
// otherwise logs as api_post and gives nullopt.
std::optional<std::string> download(const std::string& url, const ApiContext& api, Route route, const LogSink& sink);
// The JSON object of a downloaded body, with the same "status" check as
// api_post.
std::optional<Json> download_json(const std::string& url, const ApiContext& api, Route route, const LogSink& sink);

}  // namespace tessel::core::detail
