#include "core/data/hosts.h"

#include <idna.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/data/local_copy.h"
#include "core/net/api.h"

namespace tessel::core {

using detail::ascii_lower;
using detail::trim;

namespace {

constexpr std::size_t kMaxNameBytes = 200;
constexpr std::size_t kCutBytes = 183;

bool keeps(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

std::string hex64(std::uint64_t v) {
  static const char* digits = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = digits[v & 0xf];
  return s;
}

// FNV-1a, 64 bits: stable across builds and machines.
std::uint64_t fnv1a64(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

}  // namespace

std::string vhost_normalization(std::string_view host) {
  static const char* digits = "0123456789abcdef";
  if (host.empty()) return "_";
  std::string out;
  out.reserve(host.size());
  for (std::size_t i = 0; i < host.size(); ++i) {
    const auto c = static_cast<unsigned char>(host[i]);
    if (keeps(c) && !(i == 0 && c == '.')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('_');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0xf]);
    }
  }
  if (out.size() > kMaxNameBytes) {
    out.resize(kCutBytes);
    out += '_';
    out += hex64(fnv1a64(host));
  }
  return out;
}

std::string vhost_normalization(std::string_view host, const LogSink&) { return vhost_normalization(host); }

std::string model_rf_name(std::string_view v) { return std::string(v) + "_rf.ml"; }
std::string model_vect_name(std::string_view v) { return std::string(v) + "_vect.ml"; }

bool is_host_model_file(std::string_view file_name, std::string_view v) {
  return file_name == model_rf_name(v) || file_name == model_vect_name(v);
}

bool is_host_staging_file(std::string_view file_name, std::string_view v) {
  if (file_name.size() < v.size() + 5 || file_name.substr(0, v.size()) != v) return false;
  std::string_view rest = file_name.substr(v.size());
  if (rest.front() != '_' || !detail::ends_with(rest, ".db")) return false;
  std::string_view digits = rest.substr(1, rest.size() - 4);
  return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {
std::string join_dir(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}
}  // namespace

std::vector<std::string> host_model_files(const std::string& models_dir, std::string_view v) {
  std::vector<std::string> out;
  for (const auto& name : {model_rf_name(v), model_vect_name(v)}) {
    std::error_code ec;
    const auto path = join_dir(models_dir, name);
    if (std::filesystem::is_regular_file(path, ec)) out.push_back(path);
  }
  return out;
}

std::vector<std::string> host_staging_files(const std::string& models_dir, std::string_view v) {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(models_dir.empty() ? "." : models_dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code fec;
    if (!it->is_regular_file(fec)) continue;
    auto name = it->path().filename().string();
    if (is_host_staging_file(name, v)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const auto& n : names) out.push_back(join_dir(models_dir, n));
  return out;
}

std::string host_key(std::string_view host) {
  std::string h = ascii_lower(trim(host));
  if (!h.empty() && h.front() == '[') {
    // "[v6]" or "[v6]:port"
    auto close = h.find(']');
    if (close != std::string::npos) h.resize(close + 1);
    return h;
  }
  auto colon = h.rfind(':');
  if (colon != std::string::npos && h.find(':') == colon && colon + 1 < h.size() &&
      std::all_of(h.begin() + static_cast<std::ptrdiff_t>(colon) + 1, h.end(),
                  [](char c) { return c >= '0' && c <= '9'; }))
    h.resize(colon);
  while (!h.empty() && h.back() == '.') h.pop_back();
  return h;
}

bool host_pattern_match(std::string_view pattern, std::string_view host) {
  if (pattern == "*") return true;
  const std::string h = host_key(host);
  if (pattern.size() > 2 && pattern.substr(0, 2) == "*.")
    return h.size() > pattern.size() - 1 && detail::ends_with(h, pattern.substr(1));
  if (pattern.size() > 1 && pattern.front() == '.')
    return h == pattern.substr(1) || (h.size() > pattern.size() && detail::ends_with(h, pattern));
  return h == pattern;
}

std::string idna_vhost_list_normalization(std::string_view entry, const LogSink&) {
  return idna_vhost_list_normalization(entry);
}

std::string idna_vhost_list_normalization(std::string_view entry) {
  std::string s = ascii_lower(trim(entry));
  std::string prefix;
  if (s.rfind("*.", 0) == 0) {
    prefix = "*.";
  } else if (s.rfind('.', 0) == 0) {
    prefix = ".";
  }
  std::string rest = s.substr(prefix.size());
  if (rest.empty() || std::all_of(rest.begin(), rest.end(), [](unsigned char c) { return c < 0x80; })) return s;
  char* out = nullptr;
  if (idna_to_ascii_8z(rest.c_str(), &out, 0) != IDNA_SUCCESS || out == nullptr) {
    std::free(out);
    return s;
  }
  std::string ascii = ascii_lower(out);
  std::free(out);
  return prefix + ascii;
}

Json vhosts_list_processing(const Json& value, const LogSink& sink) {
  std::vector<std::string> entries;
  if (value.is_array()) {
    for (const auto& v : value)
      if (v.is_string()) entries.push_back(v.get<std::string>());
  } else if (value.is_string()) {
    std::string cur;
    for (char c : value.get_ref<const std::string&>()) {
      if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        entries.push_back(std::move(cur));
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    entries.push_back(std::move(cur));
  } else if (!value.is_null()) {
    log_processing(sink, "warn", "settings",
                   "An incorrect virtual host list has been received: " + detail::json_text(value));
  }
  Json out = Json::array();
  for (const auto& e : entries) {
    auto n = idna_vhost_list_normalization(e, sink);
    if (n.empty() || std::find(out.begin(), out.end(), Json(n)) != out.end()) continue;
    out.push_back(std::move(n));
  }
  return out;
}

namespace {

constexpr const char* kVhostsFormat = "tessel-vhosts";

// Texts of a host list, trimmed, without empty and repeated entries.
Json clean_hosts(const Json& list) {
  Json out = Json::array();
  for (const auto& v : list) {
    if (!v.is_string()) continue;
    std::string h(trim(v.get_ref<const std::string&>()));
    if (h.empty() || std::find(out.begin(), out.end(), Json(h)) != out.end()) continue;
    out.push_back(std::move(h));
  }
  return out;
}

}  // namespace

bool vhosts_list_get(const std::string& tessel_vhosts_list_db, const std::string& url, const ApiContext& api,
                     const LogSink& sink) {
  try {
    auto reply = detail::api_post(url, Json{{"key", api.key}}, api, Route::api, sink);
    return detail::store_reply(
        reply, url, tessel_vhosts_list_db, kVhostsFormat, "vhosts",
        [](const Json& v) { return v.is_array() ? std::optional<Json>(clean_hosts(v)) : std::nullopt; }, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "settings", std::string("An error occurred in vhosts_list_get: ") + e.what());
    return false;
  }
}

Json vhosts_list_load(const std::string& tessel_vhosts_list_db, const Json& cur_mlvh_list, const LogSink& sink) {
  try {
    auto list = detail::load_entry(tessel_vhosts_list_db, kVhostsFormat, "vhosts", Json::value_t::array, sink, nullptr);
    if (!list) return cur_mlvh_list;
    Json hosts = clean_hosts(*list);
    if (sink.debug)
      log_processing(sink, "debug", "settings", "Virtual hosts for ML attack detection: " + detail::json_text(hosts));
    return hosts;
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in vhosts_list_load: ") + e.what());
    return cur_mlvh_list;
  }
}

}  // namespace tessel::core
