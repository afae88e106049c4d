#include "orvik/training/training_state.h"

#include <stdexcept>

#include "core/net/http.h"
#include "core/log.h"
#include "core/net/web.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {

std::pair<std::optional<bool>, Json> get_training_status(const std::string& url, const std::string& vhost,
                                                         std::int64_t training_period_days_default,
                                                         const core::ApiContext& api, const LogSink& sink) {
  std::optional<bool> complete;
  Json days = training_period_days_default;
  const std::string receiving = "An error occurred while receiving data from " + url + ": ";
  core::HttpResponse r;
  try {
    r = core::init_session().post(url, core::RequestBody::form({{"key", api.key}, {"vhost", vhost}}),
                                  core::request_options(api.api_proxy, api.headers));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api",
                         receiving + e.what());
    return {complete, days};
  }
  if (!core::status_ok(r.status_code)) {
    core::log_processing(sink, "error", "api", receiving + r.str());
    return {complete, days};
  }
  try {
    const Json reply = r.json();
    if (!reply.is_object())
      throw std::runtime_error("'" + std::string(py_type_name(reply)) + "' object has no attribute 'get'");
    const auto status = reply.find("status");
    if (status != reply.end() && *status == "none") return {std::nullopt, Json(training_period_days_default)};
    if (status != reply.end() && *status == "success") {
      const Json& training = reply.at("training");
      if (!training.is_array()) throw std::runtime_error("\"training\" is not a list");
      for (const Json& entry : training) {
        if (!entry.is_object()) throw std::runtime_error("a \"training\" entry is not a mapping");
        if (!py_equal(entry.at("vhost"), Json(vhost))) continue;
        complete = py_truthy(entry.at("complete"));
        days = entry.at("duration");
        return {complete, days};
      }
      return {complete, days};
    }
    core::log_processing(sink, "error", "api",
                         "An error occurred while processing data from " + url + ": " + py_str(reply));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "api", receiving + e.what());
  }
  return {complete, days};
}

}  // namespace tessel::orvik
