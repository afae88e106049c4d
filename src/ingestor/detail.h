#pragma once
// Helpers shared by the intake workers.
#include <string>
#include <string_view>

#include "shared/pyvalues/json.h"

namespace tessel::ingestor {

// A message body as a JSON value; throws on text that is not JSON.
Json parse_json_body(std::string_view body);

// Challenge-page traffic: "request_type" is exactly "captcha" or "antibot".
bool is_unlock_request(const Json& msg);

// A message body for a log line: invalid UTF-8 replaced, long bodies cut.
std::string body_text(std::string_view body);

}  // namespace tessel::ingestor
