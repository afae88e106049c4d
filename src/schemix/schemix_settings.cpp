#include "schemix/schemix_settings.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/log.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/fileio.h"

namespace tessel::schemix {

namespace {

const char* const kLists[] = {"url", "exclude_paths"};

core::HttpResponse post(const std::string& url, const std::string& auth_data, const Json& headers,
                        const core::ApiContext& api) {
  core::RequestOptions options = core::request_options(api, core::Route::api);
  options.headers = core::request_options(Json::object(), headers).headers;
  core::HttpSession session = core::init_session();
  return session.post(url, core::RequestBody::raw(auth_data), options);
}

void log_receive_failure(const LogSink& sink, const std::string& url, const std::string& text) {
  core::log_processing(sink, "error", core::is_network_error(text) ? "network" : "schemix",
                       "An error occurred while receiving data from " + url + ": " + text);
}

std::string receive_failure(const std::string& url, const std::string& what) {
  return "An error occurred while receiving data from " + url + ": " + what;
}

// The text of a cache file, stripped; nullopt (logged) when it cannot be read.
std::optional<std::string> read_cache(const std::string& fname, const LogSink& sink) {
  std::string why;
  auto text = read_whole_file(fname, &why);
  if (!text) {
    core::log_processing(sink, "error", "os", "An error occurred while loading data from " + fname + ": " + why);
    return std::nullopt;
  }
  return std::string(py_strip(*text));
}

void log_load_failure(const LogSink& sink, const std::string& fname, const std::string& what) {
  core::log_processing(sink, "error", "os", "An error occurred while loading data from " + fname + ": " + what);
}

// The member `param` of a cache file's object (null when missing).
std::optional<Json> cached_member(const std::string& fname, const char* param, const LogSink& sink) {
  auto text = read_cache(fname, sink);
  if (!text || text->empty()) return std::nullopt;
  try {
    const Json doc = json_loads(*text);
    if (!doc.is_object()) throw PyValueError(std::string("'") + py_type_name(doc) + "' object has no attribute 'get'");
    const auto it = doc.find(param);
    return it == doc.end() ? Json() : *it;
  } catch (const std::exception& e) {
    log_load_failure(sink, fname, e.what());
    return std::nullopt;
  }
}

Json url_list(const std::string& fname, const LogSink& sink) {
  Json out = Json::array();
  auto member = cached_member(fname, "url", sink);
  if (!member || !py_truthy(*member)) return out;
  if (!member->is_array()) {
    log_load_failure(sink, fname, std::string("'") + py_type_name(*member) + "' object is not iterable");
    return out;
  }
  for (const auto& item : *member)
    if (py_truthy(item)) out.push_back(item);
  return out;
}

Json exclusion_list(const std::string& fname, const LogSink& sink) {
  Json out = Json::array();
  auto member = cached_member(fname, "exclude_paths", sink);
  if (!member || !py_truthy(*member)) return out;
  if (!member->is_array()) {
    log_load_failure(sink, fname, std::string("'") + py_type_name(*member) + "' object is not iterable");
    return out;
  }
  std::unordered_set<std::string> seen;
  std::string bad;  // the kind of the first item that is not an object
  for (const auto& item : *member) {
    if (!item.is_object()) {
      if (bad.empty()) bad = py_type_name(item);
      continue;
    }
    const auto name = item.find("schema_name");
    const auto path = item.find("url");
    if (name == item.end() || path == item.end() || !name->is_string() || !path->is_string()) continue;
    std::string entry = name->get<std::string>() + path->get<std::string>();
    if (entry.empty() || !seen.insert(entry).second) continue;
    out.push_back(std::move(entry));
  }
  // Items that are not objects are skipped; the file is reported once.
  if (!bad.empty()) log_load_failure(sink, fname, "'" + bad + "' object has no attribute 'get'");
  return out;
}

}  // namespace

std::optional<Json> schemix_hash_get(const std::string& url, const std::string& auth_data, const Json& headers,
                                     const core::ApiContext& api, const LogSink& sink) {
  try {
    const core::HttpResponse reply = post(url, auth_data, headers, api);
    if (sink.debug) core::log_processing(sink, "debug", "api", "Request data from " + url + ": " + reply.str());
    if (!core::status_ok(reply.status_code)) {
      core::log_processing(sink, "error", "api", receive_failure(url, reply.str()));
      return std::nullopt;
    }
    try {
      Json doc;
      try {
        doc = json_loads_bytes(reply.content);
      } catch (const std::exception&) {
        doc = literal_eval(py_decode_utf8(reply.content));
      }
      if (!doc.is_object()) throw PyValueError(std::string("'") + py_type_name(doc) + "' object is not subscriptable");
      const auto status = doc.find("status");
      if (status == doc.end()) throw PyValueError("'status'");
      if (*status == "none") return Json("none");
      if (*status == "success") {
        const auto hash = doc.find("hash");
        if (hash == doc.end()) return Json();
        if (*hash == false) return std::nullopt;  // indistinguishable from a failure
        return *hash;
      }
      core::log_processing(sink, "error", "api", receive_failure(url, py_repr_bytes(reply.content)));
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "api", receive_failure(url, e.what()));
    }
  } catch (const std::exception& e) {
    log_receive_failure(sink, url, e.what());
  }
  return std::nullopt;
}

bool schemix_data_get(const std::string& url, const std::string& param, const std::string& fname,
                      const std::string& auth_data, const Json& headers, const core::ApiContext& api,
                      const LogSink& sink) {
  try {
    const core::HttpResponse reply = post(url, auth_data, headers, api);
    if (sink.debug) core::log_processing(sink, "debug", "api", "Request data from " + url + ": " + reply.str());
    if (!core::status_ok(reply.status_code)) {
      core::log_processing(sink, "error", "api", receive_failure(url, reply.str()));
      return false;
    }
    std::string text = py_decode_utf8(reply.content);
    try {
      const Json doc = json_loads(text);
      if (!doc.is_object()) throw PyValueError(std::string("'") + py_type_name(doc) + "' object is not subscriptable");
      if (!doc.contains(param)) throw PyValueError("'" + param + "'");
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "api",
                           "An error occurred while reading data in JSON format from " + url + ": " + e.what());
      text.clear();
    }
    try {
      write_file_atomic(fname, text);
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "os",
                           "An error occurred while saving data to file " + fname + ": " + e.what());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    log_receive_failure(sink, url, e.what());
  }
  return false;
}

std::tuple<Json, Json, Json> schemix_settings_get(Json& schemix_hashes, const std::string& get_schemix_base_url,
                                                  const std::string& models_dir, const core::ApiContext& api,
                                                  const LogSink& sink) {
  Json urls = Json::array();
  Json exclude = Json::array();
  try {
    if (!api.headers.is_object())
      throw PyValueError(std::string("'") + py_type_name(api.headers) + "' object has no attribute 'copy'");
    if (!schemix_hashes.is_object()) schemix_hashes = Json::object();
    const std::string auth_data = json_dumps(Json{{"key", api.key}});
    Json hdrs = api.headers;
    hdrs["Content-Type"] = "application/json";
    for (const char* param : kLists) {
      const std::string fname =
          (std::filesystem::path(models_dir) / (std::string("schemix_") + param + ".json")).string();
      const std::string data_url = get_schemix_base_url + param;
      std::error_code ec;
      if (!std::filesystem::exists(fname, ec)) {
        std::ofstream created(fname, std::ios::binary | std::ios::app);
        if (!created)
          core::log_processing(sink, "error", "os",
                               "An error occurred while creating file " + fname + ": cannot open for writing");
      }
      const auto res = schemix_hash_get(data_url + "_hash", auth_data, hdrs, api, sink);
      if (!res) continue;
      const auto known = schemix_hashes.find(param);
      if (known == schemix_hashes.end() || !py_equal(*known, *res)) {
        // The hash is kept only once its list is stored, so that a failed
        // download is tried again at the next call.
        if (!schemix_data_get(data_url, param, fname, auth_data, hdrs, api, sink)) continue;
      }
      schemix_hashes[param] = *res;
    }
    urls = url_list((std::filesystem::path(models_dir) / "schemix_url.json").string(), sink);
    exclude = exclusion_list((std::filesystem::path(models_dir) / "schemix_exclude_paths.json").string(), sink);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "schemix",
                         std::string("An error occurred in schemix_settings_get: ") + e.what());
  }
  return {urls, exclude, schemix_hashes};
}

}  // namespace tessel::schemix
