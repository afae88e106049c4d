#include "core/net/mls.h"

#include <set>
#include <stdexcept>

#include "core/base/log.h"
#include "core/net/api.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::core {

namespace {

Json request_body(const ApiContext& api, const std::string& type, const std::string& ml_vhost) {
  return Json{{"key", api.key}, {"type", type}, {"vhost", ml_vhost}};
}

bool succeeded(const std::optional<Json>& reply) { return reply && reply->value("status", Json()) == "success"; }

// The records of a reply, values as text; throws on another shape.
Json records_of(const Json& data) {
  if (!data.is_object()) throw std::invalid_argument("\"data\" is not a mapping");
  Json out = Json::object();
  for (const auto& [rid, zones] : data.items()) {
    if (!zones.is_object()) throw std::invalid_argument("record " + rid + " is not a mapping");
    Json rec = Json::object();
    for (const auto& [zone, values] : zones.items()) {
      if (!values.is_array()) throw std::invalid_argument("record " + rid + ": zone " + zone + " is not a list");
      Json list = Json::array();
      for (const Json& v : values) list.push_back(py_str(v));
      rec[zone] = std::move(list);
    }
    out[rid] = std::move(rec);
  }
  return out;
}

}  // namespace

bool mls_data_set(const std::string& type, const std::string& url, const Json& data, const std::string& ml_vhost,
                  const ApiContext& api, const LogSink& sink) {
  Json body = request_body(api, type, ml_vhost);
  body["data"] = data;
  return succeeded(detail::api_post(url, body, api, Route::api, sink));
}

Json mls_data_get(const std::string& type, const std::string& url, const std::string& ml_vhost, const ApiContext& api,
                  const LogSink& sink) {
  const auto reply = detail::api_post(url, request_body(api, type, ml_vhost), api, Route::api, sink);
  if (!reply || reply->value("status", Json()) != "success") return Json::object();
  try {
    return records_of(reply->value("data", Json()));
  } catch (const std::exception& e) {
    log_processing(sink, "error", "api", "An error occurred while receiving data from " + url + ": " + e.what());
    return Json::object();
  }
}

bool mls_data_del(const std::string& type, const std::string& url, const std::string& ml_vhost,
                  const std::vector<std::string>& rids, const ApiContext& api, const LogSink& sink) {
  Json body = request_body(api, type, ml_vhost);
  Json ids = Json::array();
  std::set<std::string> seen;
  for (const auto& r : rids)
    if (seen.insert(r).second) ids.push_back(r);
  body["ids"] = std::move(ids);
  return succeeded(detail::api_post(url, body, api, Route::api, sink));
}

}  // namespace tessel::core
