#include "core/net/web.h"

namespace tessel::core {

namespace {
Fields fields_of(const Json& mapping) {
  Fields out;
  if (!mapping.is_object()) return out;
  for (const auto& [k, v] : mapping.items()) out.emplace_back(k, v.is_string() ? v.get<std::string>() : v.dump());
  return out;
}
}  // namespace

RequestOptions request_options(const Json& proxy, const Json& headers, const Json& cookies) {
  RequestOptions o;
  o.headers = fields_of(headers);
  o.proxies = fields_of(proxy);
  o.cookies = fields_of(cookies);
  o.verify = true;
  o.timeout = 30;
  return o;
}

RequestOptions request_options(const ApiContext& api, Route route, bool with_cookie) {
  RequestOptions o = request_options(route == Route::api ? api.api_proxy : api.sys_proxy, api.headers,
                                     with_cookie ? api.cookie : Json::object());
  o.ca_bundle = api.ca_bundle;
  return o;
}

bool status_ok(int status_code) { return std::to_string(status_code).rfind("20", 0) == 0; }

}  // namespace tessel::core
