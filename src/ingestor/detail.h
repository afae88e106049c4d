#pragma once
// Helpers shared by the intake workers.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ingestor/ingestor.h"
#include "shared/pyvalues/json.h"

namespace tessel::ingestor {

// A message body as a JSON value; throws on text that is not JSON.
Json parse_json_body(std::string_view body);

// A request message body as its JSON object; a body that is no JSON object
// is logged (error, "dyn") and gives nothing.
std::optional<Json> parse_request_body(std::string_view body, const LogSink& sink);

// The request messages of a chunk's bodies, those that are no JSON object
// logged and left out.
RequestMessages parse_request_bodies(const RequestBodies& bodies, const LogSink& sink);

// Challenge-page traffic: "request_type" is exactly "captcha" or "antibot".
bool is_unlock_request(const Json& msg);

// False when the body cannot be challenge-page traffic: the value "captcha"
// or "antibot" of a JSON object is in its bytes unless an escape or a
// UTF-16/32 encoding hides it (a backslash, a zero byte).
bool may_be_unlock_request(std::string_view body);

// vexa_data_normalization of a chunk's bodies, each parsed just before its
// record is built.
void normalise_request_bodies(const std::shared_ptr<SharedNamespace>& nsi, RequestBodies data, const RouteTarget& route,
                              const LogSink& sink);

// A message body for a log line: invalid UTF-8 replaced, long bodies cut.
std::string body_text(std::string_view body);

}  // namespace tessel::ingestor
