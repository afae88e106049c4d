#include "schemix/upload.h"

#include <exception>
#include <unordered_set>
#include <utility>

#include "core/base/log.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "schemix/schema_builder.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {

// The first member name of an object (the fragments are in sorted order).
const std::string& first_key(const Json& obj) {
  if (!obj.is_object()) throw PyValueError(std::string("'") + py_type_name(obj) + "' object has no attribute 'keys'");
  if (obj.empty()) throw PyValueError("list index out of range");
  return obj.begin().key();
}

std::string body_for(const std::string& key, const Json& fragment, const std::string& canonical) {
  const std::string& name = first_key(fragment);
  const std::string& path = first_key(fragment[name]);
  Json set = Json::object();
  set["schema_name"] = name;
  set["url"] = path;
  set["schema"] = base64_encode(canonical);
  Json body = Json::object();
  body["key"] = key;
  body["set"] = std::move(set);
  return json_dumps(body);
}

// The body as JSON, else as a literal (JSON's true, false and null are no
// literals; Python's True, False and None are no JSON).
Json parse_reply(const std::string& content) {
  try {
    return json_loads_bytes(content);
  } catch (const std::exception&) {
    return literal_eval(py_decode_utf8(content));
  }
}

// The reply's "status" when the body reads as a mapping.
bool reply_success(const core::HttpResponse& reply, const std::string& url, const LogSink& sink) {
  try {
    const Json parsed = parse_reply(reply.content);
    if (!parsed.is_object())
      throw PyValueError(std::string("'") + py_type_name(parsed) + "' object has no attribute 'get'");
    if (auto it = parsed.find("status"); it != parsed.end() && *it == "success") return true;
    core::log_processing(sink, "error", "api",
                         "An error occurred while receiving data from " + url + ": " + py_repr(parsed));
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "api", "An error occurred while receiving data from " + url + ": " + e.what());
  }
  return false;
}

}  // namespace

std::string upload_body(const std::string& key, const Json& fragment) {
  return body_for(key, fragment, canonical_text(fragment));
}

std::vector<Json> schemix_schemas_api_set(const std::string& url, const std::vector<Json>& data,
                                          const core::ApiContext& api, const LogSink& sink) {
  std::vector<Json> failed;
  // Distinct fragments by canonical text, in first-seen order.
  std::vector<std::pair<std::string, const Json*>> distinct;
  try {
    std::unordered_set<std::string> seen;
    for (const auto& f : data) {
      std::string text = canonical_text(f);
      if (seen.insert(text).second) distinct.emplace_back(std::move(text), &f);
    }
  } catch (const std::exception& e) {
    core::log_processing(
        sink, "error", "schemix",
        std::string("An error occurred while removing duplicate from auto-generated Schemix schema: ") + e.what());
    return data;
  }
  for (const auto& [canonical, fragment] : distinct) {
    try {
      // Names in sorted order, as the canonical text holds them.
      const Json sorted = json_loads(canonical);
      const std::string body = body_for(api.key, sorted, canonical);
      const core::RequestOptions options = core::request_options(api, core::Route::api);
      core::HttpSession session = core::init_session();
      const core::HttpResponse reply = session.post(url, core::RequestBody::raw(body), options);
      if (!core::status_ok(reply.status_code)) {
        core::log_processing(sink, "error", "api",
                             "An error occurred while sending data to " + url + ": " + reply.str());
        failed.push_back(*fragment);
        continue;
      }
      if (!reply_success(reply, url, sink)) {
        failed.push_back(*fragment);
        continue;
      }
      if (sink.debug)
        core::log_processing(sink, "debug", "api",
                             "Sending the updated Schemix schema (" + first_key(sorted) + "): " + reply.str());
    } catch (const std::exception& e) {
      const std::string text = e.what();
      core::log_processing(sink, "error", core::is_network_error(text) ? "network" : "api",
                           "An error occurred while sending data to " + url + ": " + text);
      failed.push_back(*fragment);
    }
  }
  return failed;
}

}  // namespace tessel::schemix
