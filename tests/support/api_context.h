#pragma once
// A management-API call context for tests.
#include <string>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"

namespace tessel::testing {

inline core::ApiContext api_context(std::string key, Json headers = Json::object(), Json proxy = Json::object()) {
  core::ApiContext api;
  api.key = std::move(key);
  api.headers = std::move(headers);
  api.api_proxy = proxy;
  api.sys_proxy = std::move(proxy);
  api.cookie = Json::object({{"key", api.key}});
  return api;
}

}  // namespace tessel::testing
