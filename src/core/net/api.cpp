#include "core/net/api.h"

#include <functional>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/net/http.h"

namespace tessel::core::detail {

namespace {

Fields fields_of(const Json& mapping) {
  Fields out;
  if (!mapping.is_object()) return out;
  for (const auto& [k, v] : mapping.items()) out.emplace_back(k, v.is_string() ? v.get<std::string>() : json_text(v));
  return out;
}

RequestOptions options_of(const ApiContext& api, Route route) {
  RequestOptions o;
  o.headers = fields_of(api.headers);
  o.proxies = fields_of(route == Route::api ? api.api_proxy : api.sys_proxy);
  o.verify = true;
  o.ca_bundle = api.ca_bundle;
  o.timeout = 30;
  return o;
}

void log_failure(const LogSink& sink, const std::string& url, const std::string& what) {
  log_processing(sink, "error", failure_category(what),
                 "An error occurred while receiving data from " + url + ": " + what);
}

bool ok_status(int status) { return std::to_string(status).rfind("20", 0) == 0; }

// The reply object when it is a JSON object whose "status" is "success" or
// "none"; logged otherwise.
std::optional<Json> checked_reply(const std::string& url, const std::string& body, const LogSink& sink) {
  Json reply = Json::parse(body, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) {
    log_failure(sink, url, "the reply is not a JSON object");
    return std::nullopt;
  }
  const Json status = reply.value("status", Json());
  if (status != "success" && status != "none") {
    log_failure(sink, url, json_text(reply));
    return std::nullopt;
  }
  return reply;
}

}  // namespace

const char* failure_category(const std::string& text) { return core::is_network_error(text) ? "network" : "api"; }

namespace {

// The body of a reply whose status starts with "20"; every other outcome is
// logged.
std::optional<std::string> body_of(const std::string& url, const std::function<HttpResponse()>& request,
                                   const LogSink& sink) {
  HttpResponse r;
  try {
    r = request();
  } catch (const std::exception& e) {
    log_failure(sink, url, e.what());
    return std::nullopt;
  }
  if (!ok_status(r.status_code)) {
    log_failure(sink, url, r.str());
    return std::nullopt;
  }
  return std::move(r.content);
}

}  // namespace

std::optional<Json> api_post(const std::string& url, const Json& body, const ApiContext& api, Route route,
                             const LogSink& sink) {
  auto content = body_of(
      url, [&] { return init_session().post(url, RequestBody::json(body), options_of(api, route)); }, sink);
  if (!content) return std::nullopt;
  return checked_reply(url, *content, sink);
}

std::optional<std::string> download(const std::string& url, const ApiContext& api, Route route, const LogSink& sink) {
  return body_of(
      url, [&] { return init_session().get(url, options_of(api, route)); }, sink);
}

std::optional<Json> download_json(const std::string& url, const ApiContext& api, Route route, const LogSink& sink) {
  auto body = download(url, api, route, sink);
  if (!body) return std::nullopt;
  return checked_reply(url, *body, sink);
}

}  // namespace tessel::core::detail
