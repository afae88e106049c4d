#include "orvik/training/training_state.h"

#include <stdexcept>

#include "core/base/log.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"
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
                                  core::request_options(api, core::Route::api));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api", receiving + e.what());
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

namespace tessel::orvik {

namespace {

// The "description" of a refusal, as Python's reply["description"] gives it.
const Json& description_of(const Json& reply) {
  const auto it = reply.find("description");
  if (it == reply.end()) throw std::runtime_error("'description'");
  return *it;
}

}  // namespace

bool set_training_status(const std::string& set_training_url, const std::string& vhost, bool is_complete,
                         const core::ApiContext& api, const LogSink& sink) {
  core::HttpResponse r;
  try {
    Json body = Json::object();
    body["key"] = api.key;
    body["vhost"] = vhost;
    body["complete"] = is_complete;
    Json headers = api.headers.is_object() ? api.headers : Json::object();
    headers["Content-Type"] = "application/json";
    core::RequestOptions options = core::request_options(api.api_proxy, headers);
    options.ca_bundle = api.ca_bundle;
    r = core::init_session().post(set_training_url, core::RequestBody::raw(json_dumps(body)), options);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api",
                         std::string("An error occurred while sending training the status: ") + e.what());
    return false;
  }
  if (!core::status_ok(r.status_code)) {
    core::log_processing(sink, "error", "api", "An error occurred while sending training status: " + r.str());
    return false;
  }
  const std::string updating = "An error occurred while updating training status for virtual host " + vhost + ": ";
  try {
    const Json reply = r.json();
    if (!reply.is_object())
      throw std::runtime_error("'" + std::string(py_type_name(reply)) + "' object has no attribute 'get'");
    const auto status = reply.find("status");
    if (status != reply.end() && *status == "success") {
      core::log_processing(sink, "info", "api",
                           "Training status for virtual host " + vhost + " has been updated successfully");
      return true;
    }
    if (status != reply.end() && *status == "fail") {
      std::string description;
      try {
        description = py_str(description_of(reply));
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "api",
                             "An error occurred while retrieving field \"description\" from " + py_str(reply) +
                                 " for virtual host " + vhost + ": " + e.what());
        description = py_str(reply);
      }
      core::log_processing(sink, "error", "api", updating + description);
      return false;
    }
    core::log_processing(sink, "error", "api", updating + py_str(reply));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "api",
                         std::string("An error occurred while sending training status: ") + e.what());
  }
  return false;
}

void set_training_progress_status(const std::string& set_training_progress_url, const std::string& vhost,
                                  std::int64_t progress, const core::ApiContext& api, const LogSink& sink) {
  const std::string sending = "An error occurred while sending training progress: ";
  core::HttpResponse r;
  try {
    r = core::init_session().post(
        set_training_progress_url,
        core::RequestBody::form({{"key", api.key}, {"vhost", vhost}, {"progress", std::to_string(progress)}}),
        core::request_options(api, core::Route::api));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api", sending + e.what());
    return;
  }
  if (!core::status_ok(r.status_code)) {
    core::log_processing(sink, "error", "api", sending + r.str());
    return;
  }
  try {
    const Json reply = literal_eval(r.text());
    if (!reply.is_object())
      throw std::runtime_error("'" + std::string(py_type_name(reply)) + "' object has no attribute 'get'");
    const auto status = reply.find("status");
    if (status != reply.end() && *status == "success") {
      if (sink.debug)
        core::log_processing(sink, "debug", "api", "Sending training progress of " + vhost + ": " + r.str());
      return;
    }
    if (status != reply.end() && *status == "fail") {
      try {
        const Json& description = description_of(reply);
        if (!description.is_string())
          throw std::runtime_error("argument of type '" + std::string(py_type_name(description)) + "' is not iterable");
        if (description.get<std::string>().find("set virtual host") == std::string::npos)
          core::log_processing(sink, "error", "api",
                               "An error occurred while updating training progress for virtual host " + vhost + ": " +
                                   description.get<std::string>());
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "api",
                             "An error occurred while retrieving field \"description\" from " + py_str(reply) +
                                 " for virtual host " + vhost + ": " + e.what());
      }
      return;
    }
    core::log_processing(
        sink, "error", "api",
        "An error occurred while updating training progress for virtual host " + vhost + ": " + py_str(reply));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "api", sending + e.what());
  }
}

}  // namespace tessel::orvik
