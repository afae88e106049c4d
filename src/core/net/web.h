#pragma once
// Request options and reply checks shared by the callers of the web session.
#include <string>

#include "core/net/api_context.h"
#include "core/net/http.h"
#include "shared/pyvalues/json.h"

namespace tessel::core {

// The options of a management-API or outside call: the header and proxy
// mappings (and cookies) as name/value pairs, certificate verification on,
// a time-out of 30 seconds. Values that are not texts are sent as JSON text.
RequestOptions request_options(const Json& proxy, const Json& headers, const Json& cookies = Json::object());
// The same from a call context: its headers, the proxy of `route`, its
// certificate bundle, and its cookie when `with_cookie`.
RequestOptions request_options(const ApiContext& api, Route route, bool with_cookie = false);

// A reply counts as successful when the decimal text of its status code
// starts with "20".
bool status_ok(int status_code);

}  // namespace tessel::core
