#include "orvik/dataset/mt_data.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <unordered_set>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "orvik/dataset/fuzzy.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/fileio.h"

namespace tessel::orvik {

namespace detail {

// The exported lines of one host entry's zone, prepared for matching and
// ordered by processed length.
struct MtZoneMatcher {
  std::vector<fuzzy::Prepared> choices;
  std::unordered_set<std::u32string> exact;

  explicit MtZoneMatcher(const std::set<std::string>& lines) {
    for (const auto& line : lines) {
      auto p = fuzzy::prepare(fuzzy::process_choice(line));
      if (p.text.empty()) continue;  // scores 0 against everything
      exact.insert(p.text);
      choices.push_back(std::move(p));
    }
    std::sort(choices.begin(), choices.end(),
              [](const fuzzy::Prepared& a, const fuzzy::Prepared& b) { return a.text.size() < b.text.size(); });
  }

  // Some line scores `threshold` or more against `q`.
  bool covers(const fuzzy::Prepared& q, int threshold) const {
    const std::size_t n = q.text.size();
    if (n == 0) return false;
    if (exact.count(q.text)) return true;
    // Only lengths with 2 * max < 3 * min can reach a score above 90.
    auto first = std::partition_point(choices.begin(), choices.end(),
                                      [n](const fuzzy::Prepared& c) { return 3 * c.text.size() <= 2 * n; });
    for (auto it = first; it != choices.end() && 2 * it->text.size() < 3 * n; ++it)
      if (fuzzy::reaches(q, *it, threshold)) return true;
    return false;
  }
};

struct MtMatcherCache {
  std::mutex mu;
  std::map<std::pair<std::string, std::string>, std::unique_ptr<MtZoneMatcher>> matchers;
};

}  // namespace detail

MtData::MtData() : cache_(std::make_shared<detail::MtMatcherCache>()) {}

MtData::MtData(const MtData& other) : hosts_(other.hosts_), cache_(std::make_shared<detail::MtMatcherCache>()) {}

MtData& MtData::operator=(const MtData& other) {
  if (this != &other) {
    hosts_ = other.hosts_;
    cache_ = std::make_shared<detail::MtMatcherCache>();
  }
  return *this;
}

MtData::Zones& MtData::host(const std::string& vhost) {
  auto [it, added] = hosts_.try_emplace(vhost);
  if (added)
    for (const auto& z : core::zones()) it->second[z];
  return it->second;
}

void MtData::add_line(const std::string& vhost, const std::string& zone, std::string line) {
  host(vhost)[zone].insert(std::move(line));
  if (!cache_) cache_ = std::make_shared<detail::MtMatcherCache>();
  std::lock_guard g(cache_->mu);
  cache_->matchers.erase({vhost, zone});
}

const detail::MtZoneMatcher* MtData::matcher(const std::string& vhost, const std::string& zone) const {
  const auto h = hosts_.find(vhost);
  if (h == hosts_.end()) return nullptr;
  const auto z = h->second.find(zone);
  if (z == h->second.end() || z->second.empty() || !cache_) return nullptr;
  std::lock_guard g(cache_->mu);
  auto& slot = cache_->matchers[{vhost, zone}];
  if (!slot) slot = std::make_unique<detail::MtZoneMatcher>(z->second);
  return slot.get();
}

namespace {

std::vector<std::string_view> split_crlf(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto at = s.find("\r\n");
    out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 2);
  }
  return out;
}

std::string hash_text(const Json& h) { return h.is_string() ? h.get<std::string>() : h.dump(); }

// The export a download body holds: base64 of UTF-8 JSON records. Throws
// with the reason when it is not.
std::string decode_export(const std::string& body) {
  std::string b64;
  for (char c : body) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    const bool alphabet =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
    if (!alphabet) throw std::runtime_error("the reply is not base64 text");
    b64 += c;
  }
  if (b64.size() % 4 != 0) throw std::runtime_error("the reply is not base64 text");
  std::string text = py_decode_utf8(base64_decode(b64));
  const Json records = Json::parse(text, nullptr, false);
  if (records.is_discarded() || !records.is_array()) throw std::runtime_error("the export is not a JSON list");
  return text;
}

}  // namespace

std::string mt_data_get(const std::string& mt_fname, const std::string& mt_hash_last,
                        const std::string& get_mt_hash_url, const std::string& get_mt_data_url,
                        const core::ApiContext& api, const LogSink& sink) {
  try {
    auto session = core::init_session();
    std::string mt_hash = mt_hash_last;
    const std::string from_hash = "An error occurred while receiving data from " + get_mt_hash_url + ": ";
    try {
      const auto r = session.post(get_mt_hash_url, core::RequestBody::form({{"key", api.key}}),
                                  core::request_options(api, core::Route::api));
      if (!core::status_ok(r.status_code)) {
        core::log_processing(sink, "error", "api", from_hash + r.str());
        return mt_hash_last;
      }
      const Json reply = r.json();
      if (!reply.is_object()) throw std::runtime_error("the reply is not a JSON object");
      const Json& status = reply.at("status");
      if (status == "none") {
        mt_hash = "none";
      } else if (status == "success") {
        mt_hash = hash_text(reply.value("hash", Json()));
      } else {
        core::log_processing(sink, "error", "api", from_hash + r.content);
        return mt_hash_last;
      }
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api", from_hash + e.what());
      return mt_hash_last;
    }
    if (mt_hash == mt_hash_last) {
      if (sink.debug)
        core::log_processing(sink, "debug", "api", "The exported FP data from Corvane WAF MT has not changes");
      return mt_hash;
    }
    if (sink.debug)
      core::log_processing(sink, "debug", "api",
                           "The exported FP data modified: current: " + mt_hash + ", previous: " + mt_hash_last);
    const std::string from_data = "An error occurred while receiving data from " + get_mt_data_url + ": ";
    std::string text;
    try {
      auto options = core::request_options(api, core::Route::api);
      options.cookies = {{"key", api.key}};
      const auto r = session.get(get_mt_data_url, options);
      if (!core::status_ok(r.status_code)) {
        core::log_processing(sink, "error", "api", from_data + r.str());
        return mt_hash_last;
      }
      text = r.content.empty() ? "[]" : decode_export(r.content);
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", core::is_network_error(e.what()) ? "network" : "api", from_data + e.what());
      return mt_hash_last;
    }
    try {
      write_file_atomic(mt_fname, text);
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "os",
                           "An error occurred during saving data to " + mt_fname + ": " + e.what());
      return mt_hash_last;
    }
    return mt_hash;
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "api",
                         std::string("An error occurred while interacting with Corvane WAF MT: ") + e.what());
    return mt_hash_last;
  }
}

MtData mt_data_load(const std::string& mt_fname, const LogSink& sink) {
  MtData mt_data;
  const std::string failed = "An error occurred in mt_data_load: ";
  try {
    std::error_code ec;
    if (!std::filesystem::exists(mt_fname, ec) || std::filesystem::file_size(mt_fname, ec) == 0 || ec) return mt_data;
    std::string why;
    const auto content = read_whole_file(mt_fname, &why);
    if (!content) throw std::runtime_error(why);
    return mt_data_parse(*content, mt_fname, sink);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", failed + e.what());
  }
  return mt_data;
}

MtData mt_data_parse(std::string_view text, const std::string& mt_fname, const LogSink& sink) {
  MtData mt_data;
  const std::string failed = "An error occurred in mt_data_load: ";
  try {
    const Json records = Json::parse(text);
    if (!records.is_array()) throw std::runtime_error("the file does not hold a list of records");
    const auto& zones = core::zones();
    for (const Json& raw : records) {
      try {
        if (!raw.is_object()) throw std::runtime_error("a record is not a mapping: " + py_repr(raw));
        Json record = Json::object();
        for (const auto& [k, v] : raw.items()) {
          if (k == "uri" && raw.contains("url")) continue;
          record[k == "uri" ? "url" : k] = v;
        }
        const Json vhost = record.value("vhost", Json());
        if (!py_truthy(vhost)) {
          core::log_processing(
              sink, "error", "os",
              "An error occurred during processing data from " + mt_fname + ": no vhost (" + py_repr(record) + ")");
          continue;
        }
        if (!vhost.is_string()) throw std::runtime_error("vhost " + py_repr(vhost) + " is not text");
        std::vector<std::pair<std::string, std::vector<std::string_view>>> lines;
        for (const auto& z : zones) {
          const auto it = record.find(z);
          if (it == record.end() || !py_truthy(*it)) continue;
          if (!it->is_string())
            throw std::runtime_error("'" + std::string(py_type_name(*it)) + "' object has no attribute 'split'");
          lines.emplace_back(z, split_crlf(it->get_ref<const std::string&>()));
        }
        const std::string& host = vhost.get_ref<const std::string&>();
        mt_data.host(host);
        for (const auto& [z, ls] : lines)
          for (auto l : ls) mt_data.add_line(host, z, std::string(l));
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "os", failed + e.what());
      }
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", failed + e.what());
  }
  return mt_data;
}

Json mt_data_json(const MtData& mt_data) {
  Json out = Json::object();
  for (const auto& [host, zones] : mt_data.hosts()) {
    Json& entry = out[host] = Json::object();
    for (const auto& [z, lines] : zones) entry[z] = Json(lines);
  }
  return out;
}

namespace {

// The hosts of the exported data that a protected host entry selects.
std::vector<std::string> select_hosts(const MtData& mt_data, const std::string& ml_vhost) {
  std::vector<std::string> out;
  for (const auto& [k, zones] : mt_data.hosts()) {
    bool take;
    if (ml_vhost == "*")
      take = true;
    else if (ml_vhost.starts_with("."))
      take = k == ml_vhost.substr(1) || k.find(ml_vhost) != std::string::npos;
    else if (ml_vhost.starts_with("*."))
      take = k.find(ml_vhost.substr(1)) != std::string::npos;
    else
      take = k == ml_vhost;
    if (take) out.push_back(k);
  }
  return out;
}

// A record field named like a zone, read as text and written back.
struct ZoneField {
  std::string* text = nullptr;
  Json* json = nullptr;
  std::int64_t* number = nullptr;

  std::string get() const {
    if (text) return *text;
    if (json) return py_str(*json);
    return std::to_string(*number);
  }
  void set(std::string v) const {
    if (text)
      *text = std::move(v);
    else if (json)
      *json = std::move(v);
    else
      throw std::runtime_error("an integer field cannot take text");
  }
};

ZoneField zone_field(RequestRecord& r, const std::string& name) {
  static const std::map<std::string, std::string RequestRecord::*> texts = {
      {"id", &RequestRecord::id},
      {"url", &RequestRecord::url},
      {"args", &RequestRecord::args},
      {"cookie", &RequestRecord::cookie},
      {"ua", &RequestRecord::ua},
      {"referer", &RequestRecord::referer},
      {"other_headers", &RequestRecord::other_headers},
      {"body", &RequestRecord::body},
      {"cc", &RequestRecord::cc},
      {"content-type", &RequestRecord::content_type},
      {"jbody", &RequestRecord::jbody}};
  static const std::map<std::string, Json RequestRecord::*> jsons = {{"lm", &RequestRecord::lm},
                                                                     {"request_id", &RequestRecord::request_id},
                                                                     {"request_type", &RequestRecord::request_type},
                                                                     {"mz", &RequestRecord::mz},
                                                                     {"ip", &RequestRecord::ip},
                                                                     {"vhost", &RequestRecord::vhost},
                                                                     {"method", &RequestRecord::method}};
  static const std::map<std::string, std::int64_t RequestRecord::*> numbers = {
      {"bt", &RequestRecord::bt},
      {"timestamp", &RequestRecord::timestamp},
      {"port", &RequestRecord::port},
      {"status_code", &RequestRecord::status_code}};
  if (auto it = texts.find(name); it != texts.end()) return {&(r.*(it->second)), nullptr, nullptr};
  if (auto it = jsons.find(name); it != jsons.end()) return {nullptr, &(r.*(it->second)), nullptr};
  if (auto it = numbers.find(name); it != numbers.end()) return {nullptr, nullptr, &(r.*(it->second))};
  if (auto it = r.extras.find(name); it != r.extras.end()) return {nullptr, &*it, nullptr};
  throw std::out_of_range("'" + name + "'");
}

}  // namespace

std::optional<int> mt_export_processing(RequestRecord& data, const Json& request_id, const std::string& ml_vhost,
                                        const Json& vhost, int ml_r, std::vector<std::string>& ml_z,
                                        const MtData& mt_data, const LogSink& sink) {
  constexpr int similarity = 95;
  const std::vector<std::string> hosts = select_hosts(mt_data, ml_vhost);
  if (hosts.empty() || ml_r != 1) return std::nullopt;
  const std::string req = py_str(request_id) + " (" + py_str(vhost) + ")";
  try {
    if (ml_z.empty()) {
      core::log_processing(
          sink, "error", "ml",
          "An error occurred while applying exported FP data to request " + req + ": received request without MZ");
      return std::nullopt;
    }
    const std::vector<std::string> zones = ml_z;
    for (const auto& z : zones) {
      const std::string in_zone = req + " in zone " + core::zone_replace(z);
      try {
        const ZoneField field = zone_field(data, z);
        const std::string value = field.get();
        if (py_len(value) > core::limit_data_mt()) {
          core::log_processing(sink, "warn", "ml",
                               "Data of request " + req + " is too large and exported FP will not apply");
          continue;
        }
        std::vector<const detail::MtZoneMatcher*> matchers;
        for (const auto& h : hosts)
          if (const auto* m = mt_data.matcher(h, z)) matchers.push_back(m);
        if (matchers.empty()) continue;
        std::vector<std::string_view> lines;
        std::unordered_set<std::string_view> seen;
        for (auto l : split_crlf(value))
          if (!l.empty() && seen.insert(l).second) lines.push_back(l);
        std::vector<std::string_view> left;
        for (auto line : lines) {
          bool covered = false;
          try {
            const auto q = fuzzy::prepare(fuzzy::process_query(line));
            for (const auto* m : matchers)
              if ((covered = m->covers(q, similarity))) break;
          } catch (const std::exception& e) {
            core::log_processing(
                sink, "error", "ml",
                "An error occurred while partially applying exported FP data to request " + in_zone + ": " + e.what());
          }
          if (!covered) left.push_back(line);
        }
        if (left.empty()) {
          std::erase(ml_z, z);
          core::log_processing(sink, "info", "ml", "The exported FP data has been applied to request " + in_zone);
          continue;
        }
        try {
          std::string joined;
          for (std::size_t i = 0; i < left.size(); ++i) {
            if (i) joined += "\r\n";
            joined += left[i];
          }
          field.set(std::move(joined));
        } catch (const std::exception& e) {
          core::log_processing(sink, "error", "ml",
                               "An error occurred while updating data after the FP was partially applied to request " +
                                   in_zone + ": " + e.what());
        }
      } catch (const std::exception& e) {
        core::log_processing(
            sink, "error", "ml",
            "An error occurred while applying exported FP data to request " + in_zone + ": " + e.what());
      }
    }
    if (ml_z.empty()) return 0;
    std::string mz;
    for (std::size_t i = 0; i < ml_z.size(); ++i) {
      if (i) mz += "|";
      mz += ml_z[i];
    }
    data.mz = mz;
    return 12;
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "ml",
                         "An error occurred while processing exported FP data to request " + req + ": " + e.what());
    return std::nullopt;
  }
}

}  // namespace tessel::orvik
