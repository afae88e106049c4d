#pragma once
// What every call to the management API and to outside services carries:
// the base address, the access key, the proxies, the request headers and
// the cookie. Built once at start-up and copied into each worker.
#include <string>

#include "shared/pyvalues/json.h"

namespace tessel::core {

struct ApiContext {
  std::string api_url;              // management-API base, ends in "/vx-api/"
  std::string key;                  // access key: form field or cookie "key"
  Json api_proxy = Json::object();  // {"http": p, "https": p} or {}: management API
  Json sys_proxy = Json::object();  // the same for outside downloads
  Json headers = Json::object();    // "User-Agent" with the instance id
  Json cookie = Json::object();     // {"key": key}
  std::string ca_bundle;            // certificate bundle file; "" for the system's
};

// Which proxy a call takes: the management API's or the one for outside
// services (GeoIP, the dataset service).
enum class Route { api, outside };

}  // namespace tessel::core
