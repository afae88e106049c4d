#include "schemix/grouping.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_map>
#include <utility>

#include "core/log.h"
#include "schemix/keys.h"
#include "shared/pyvalues/levenshtein.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/url.h"

namespace tessel::schemix {

namespace {

// The display name of the body zone in messages.
constexpr const char* kBodyZone = "body";

void log_error(const LogSink& sink, const std::string& text) { core::log_processing(sink, "error", "schemix", text); }

// What a record is grouped by: its target, normalised, and its method in
// lower case. Throws with the text of the failing step.
struct GroupKey {
  std::string target;  // vhost + templated url, as sent
  std::string method;  // as sent
  std::string match;   // normalised target, NUL, lower-case method
};

// Normalised targets, worked out once per distinct target text.
using NormCache = std::unordered_map<std::string, std::string>;

GroupKey group_key(const SchemaRecord& r, NormCache& norm) {
  if (!r.vhost.is_string())
    throw PyValueError(std::string("unsupported operand type(s) for +: '") + py_type_name(r.vhost) + "' and 'str'");
  if (!r.method.is_string())
    throw PyValueError(std::string("'") + py_type_name(r.method) + "' object has no attribute 'lower'");
  GroupKey k;
  k.target = r.vhost.get<std::string>() + r.url;
  k.method = r.method.get<std::string>();
  auto it = norm.find(k.target);
  if (it == norm.end()) it = norm.emplace(k.target, url_normalize(k.target)).first;
  k.match = it->second;
  k.match.push_back('\0');
  k.match += py_lower(k.method);
  return k;
}

}  // namespace

SchemaRecord schema_record(RequestRecord&& r) {
  SchemaRecord s;
  s.request_id = std::move(r.request_id);
  s.vhost = std::move(r.vhost);
  s.url = std::move(r.url);
  s.method = std::move(r.method);
  s.content_type = std::move(r.content_type);
  // The body as received: the raw text of a JSON body, else the record's.
  s.body = r.jbody.empty() ? std::move(r.body) : std::move(r.jbody);
  if (auto it = r.extras.find("schema_name"); it != r.extras.end() && it->is_string())
    s.schema_name = it->get<std::string>();
  return s;
}

Json record_mapping(const SchemaRecord& r) {
  Json m = Json::object();
  m["request_id"] = r.request_id;
  m["vhost"] = r.vhost;
  m["url"] = r.url;
  m["method"] = r.method;
  m["content-type"] = r.content_type;
  m["body"] = r.body;
  m["schema_name"] = r.schema_name;
  return m;
}

std::string template_path(std::string_view url) {
  std::string out;
  out.reserve(url.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = url.find('/', start);
    const std::string_view seg = url.substr(start, slash == std::string_view::npos ? url.npos : slash - start);
    if (py_isdigit(seg)) {
      out += "{integer}";
    } else {
      out += seg;
    }
    if (slash == std::string_view::npos) break;
    out.push_back('/');
    start = slash + 1;
  }
  return out;
}

std::vector<std::size_t> schemix_requests_processing(std::vector<SchemaRecord>& data_list, const LogSink& sink) {
  // Bodies, each record by itself.
  for (auto& r : data_list) {
    try {
      if (!r.body.is_string()) throw PyValueError(std::string("the JSON object must be str, bytes or bytearray, not ") +
                                                  py_type_name(r.body));
      r.body = json_loads(r.body.get_ref<const std::string&>(), false);
    } catch (const std::exception& e) {
      log_error(sink, std::string("An error occurred in Schemix request processing while loading ") + kBodyZone +
                          " as JSON: " + e.what() + " (data: " + py_repr(record_mapping(r)) + ")");
    }
  }

  std::vector<std::size_t> result;
  try {
    for (auto& r : data_list) r.url = template_path(r.url);

    // Groups in first-seen order; each group scans the records of its
    // normalised target and lower-case method, in list order.
    std::vector<std::pair<std::string, std::string>> groups;  // (target + NUL + method, match key)
    std::unordered_map<std::string, std::size_t> group_index;
    std::unordered_map<std::string, std::vector<std::size_t>> buckets;
    NormCache norm;
    for (std::size_t i = 0; i < data_list.size(); ++i) {
      std::optional<GroupKey> k;
      try {
        k = group_key(data_list[i], norm);
      } catch (const std::exception& e) {
        log_error(sink, std::string("An error occurred while Schemix data processing: ") + e.what());
        continue;
      }
      buckets[k->match].push_back(i);
      std::string id = k->target + '\0' + k->method;
      if (group_index.emplace(id, groups.size()).second) groups.emplace_back(std::move(id), std::move(k->match));
    }

    for (const auto& group : groups) {
      std::vector<std::string> pattern;
      std::string pattern_text;
      bool have_pattern = false;
      std::vector<std::string> find_methods;
      std::size_t request_counter = 0;
      for (const std::size_t i : buckets[group.second]) {
        SchemaRecord& r = data_list[i];
        if (r.dropped) continue;
        if (request_counter >= kGroupLimit) {
          r.dropped = true;
          continue;
        }
        ++request_counter;
        std::vector<std::string> keys;
        schemix_get_keys(r.body, keys, sink);
        if (!have_pattern || keys.size() > pattern.size()) {
          pattern = keys;
          pattern_text = keys_display(pattern);
          have_pattern = true;
        }
        const std::string& method = r.method.get_ref<const std::string&>();
        if (std::find(find_methods.begin(), find_methods.end(), method) != find_methods.end()) continue;
        const std::string keys_text = keys_display(keys);
        try {
          if (!pattern.empty() && !keys.empty() && levenshtein(pattern_text, keys_text, kKeysDistance) <= kKeysDistance) {
            find_methods.push_back(method);
            result.push_back(i);
          }
        } catch (const std::exception& e) {
          log_error(sink, std::string("An error occurred during the similarity calculation in Schemix module: ") +
                              e.what() + " (v1: " + pattern_text + ", v2: " + keys_text + ")");
        }
      }
    }
  } catch (const std::exception& e) {
    log_error(sink, std::string("An error occurred while Schemix data processing: ") + e.what());
  }
  if (sink.debug) {
    const auto left = std::count_if(data_list.begin(), data_list.end(), [](const SchemaRecord& r) { return !r.dropped; });
    core::log_processing(sink, "debug", "schemix",
                         "Schemix data for " + std::to_string(left) + " request(s) processed");
  }
  return result;
}

}  // namespace tessel::schemix
