#include "schemix/grouping.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/base/log.h"
#include "schemix/key_scan.h"
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

void log_decode_error(const LogSink& sink, const std::exception& e, const SchemaRecord& r) {
  log_error(sink, std::string("An error occurred in Schemix request processing while loading ") + kBodyZone +
                      " as JSON: " + e.what() + " (data: " + py_repr(record_mapping(r)) + ")");
}

// Fills the empty arrays of a decoded body, as listing its keys does.
void decoded_fill(Json& body, const LogSink& sink) {
  std::vector<std::string> unused;
  schemix_get_keys(body, unused, sink);
}

// Groups in first-seen order; each group holds the records of its
// normalised target and lower-case method, in list order.
struct RequestGroups {
  std::vector<std::pair<std::string, std::string>> order;             // (target + NUL + method, match key)
  std::unordered_map<std::string, std::vector<std::size_t>> members;  // match key -> records
};

// The steps of choosing the representative requests of one list: the bodies
// scanned, the records grouped, one or more picked per group, the chosen
// bodies decoded.
class RequestSelection {
 public:
  RequestSelection(std::vector<SchemaRecord>& data_list, const LogSink& sink)
      : data_(data_list), sink_(sink), scanned_(data_list.size()) {}

  // Bodies, each record by itself: the key list read from the text where the
  // scanner takes it, else the body decoded (its keys listed when picking).
  // The scanner's key lists are counted here and listed again where needed.
  void scan_bodies() {
    for (std::size_t i = 0; i < data_.size(); ++i) {
      SchemaRecord& r = data_[i];
      try {
        if (!r.body.is_string())
          throw PyValueError(std::string("the JSON object must be str, bytes or bytearray, not ") +
                             py_type_name(r.body));
        const std::string& text = r.body.get_ref<const std::string&>();
        listed_.clear();
        if (scanner_.scan(text, listed_)) {
          scanned_[i] = Scanned{listed_.size(), true};
          continue;
        }
        r.body = json_loads(text, false);
      } catch (const std::exception& e) {
        log_decode_error(sink_, e, r);
      }
    }
  }

  // A record whose target cannot be normalised is logged and joins no group.
  RequestGroups group_records() {
    RequestGroups g;
    std::unordered_map<std::string, std::size_t> group_index;
    NormCache norm;
    for (std::size_t i = 0; i < data_.size(); ++i) {
      std::optional<GroupKey> k;
      try {
        k = group_key(data_[i], norm);
      } catch (const std::exception& e) {
        log_error(sink_, std::string("An error occurred while Schemix data processing: ") + e.what());
        continue;
      }
      g.members[k->match].push_back(i);
      std::string id = k->target + '\0' + k->method;
      if (group_index.emplace(id, g.order.size()).second) g.order.emplace_back(std::move(id), std::move(k->match));
    }
    return g;
  }

  // Within one group (at most kGroupLimit records, the rest dropped): the
  // first record with the most keys sets the pattern, and the first record of
  // each method whose key list is within kKeysDistance of it is chosen.
  void pick(const std::vector<std::size_t>& members, std::vector<std::size_t>& result) {
    std::size_t pattern_size = 0;
    std::string pattern_text;
    bool have_pattern = false;
    std::vector<std::string> find_methods;
    std::size_t request_counter = 0;
    for (const std::size_t i : members) {
      SchemaRecord& r = data_[i];
      if (r.dropped) continue;
      if (request_counter >= kGroupLimit) {
        r.dropped = true;
        continue;
      }
      ++request_counter;
      // `listed_` holds this record's keys once `have_list`.
      std::size_t count = 0;
      bool have_list = false;
      if (scanned_[i].scanned) {
        count = scanned_[i].count;
      } else {
        decoded_keys_.clear();
        schemix_get_keys(r.body, decoded_keys_, sink_);
        listed_.assign(decoded_keys_.begin(), decoded_keys_.end());
        count = listed_.size();
        have_list = true;
      }
      const auto list_text = [&] {
        if (!have_list) {
          listed_.clear();
          scanner_.scan(r.body.get_ref<const std::string&>(), listed_);
          have_list = true;
        }
        return keys_text(listed_);
      };
      if (!have_pattern || count > pattern_size) {
        pattern_size = count;
        pattern_text = list_text();
        have_pattern = true;
      }
      const std::string& method = r.method.get_ref<const std::string&>();
      if (std::find(find_methods.begin(), find_methods.end(), method) != find_methods.end()) continue;
      const std::string text = list_text();
      try {
        if (pattern_size != 0 && count != 0 && levenshtein(pattern_text, text, kKeysDistance) <= kKeysDistance) {
          find_methods.push_back(method);
          result.push_back(i);
        }
      } catch (const std::exception& e) {
        log_error(sink_, std::string("An error occurred during the similarity calculation in Schemix module: ") +
                             e.what() + " (v1: " + pattern_text + ", v2: " + text + ")");
      }
    }
  }

  // The chosen bodies that are still text decoded, their empty arrays filled.
  void decode_chosen(const std::vector<std::size_t>& result) {
    for (const std::size_t i : result) {
      SchemaRecord& r = data_[i];
      if (!scanned_[i].scanned) continue;
      scanned_[i].scanned = false;
      try {
        r.body = json_loads(r.body.get_ref<const std::string&>(), false);
        decoded_fill(r.body, sink_);
      } catch (const std::exception& e) {
        log_decode_error(sink_, e, r);
      }
    }
  }

 private:
  // The key count of a body the scanner read; `scanned` false for a body
  // decoded (or one that failed).
  struct Scanned {
    std::size_t count = 0;
    bool scanned = false;
  };

  std::vector<SchemaRecord>& data_;
  const LogSink& sink_;
  KeyScanner scanner_;
  std::vector<std::string_view> listed_;  // views into one body text
  std::vector<Scanned> scanned_;
  std::vector<std::string> decoded_keys_;
};

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
  RequestSelection selection(data_list, sink);
  selection.scan_bodies();
  std::vector<std::size_t> result;
  try {
    for (auto& r : data_list) r.url = template_path(r.url);
    RequestGroups groups = selection.group_records();
    for (const auto& group : groups.order) selection.pick(groups.members[group.second], result);
  } catch (const std::exception& e) {
    log_error(sink, std::string("An error occurred while Schemix data processing: ") + e.what());
  }
  selection.decode_chosen(result);
  if (sink.debug) {
    const auto left =
        std::count_if(data_list.begin(), data_list.end(), [](const SchemaRecord& r) { return !r.dropped; });
    core::log_processing(sink, "debug", "schemix",
                         "Schemix data for " + std::to_string(left) + " request(s) processed");
  }
  return result;
}

}  // namespace tessel::schemix
