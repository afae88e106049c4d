#include "core/data/schemas.h"

#include <optional>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "core/data/iplist.h"
#include "shared/runtime/fileio.h"

namespace tessel::core {

using detail::json_text;

namespace {

Json rule(const char* vhost, const char* url, std::initializer_list<const char*> zones) {
  Json z = Json::array();
  for (const char* name : zones) z.push_back(name);
  return Json{{"vhost", vhost}, {"url", url}, {"zones", std::move(z)}};
}

const std::vector<std::string>& default_zones(bool flood) {
  static const std::vector<std::string> brute = {"args", "body"};
  static const std::vector<std::string> fl = {"url"};
  return flood ? fl : brute;
}

int zone_index(std::string_view name) {
  const auto& zs = bf_detection_zone();
  for (std::size_t i = 0; i < zs.size(); ++i)
    if (zs[i] == name) return static_cast<int>(i);
  return -1;
}

// The rule in its checked form, or an explanation in `why`.
std::optional<Json> check_rule(const Json& r, bool flood, std::string& why) {
  if (!r.is_object()) {
    why = "not a mapping";
    return std::nullopt;
  }
  std::string vhost = "*", url = "*";
  if (auto it = r.find("vhost"); it != r.end()) {
    if (!it->is_string() || detail::trim(it->get_ref<const std::string&>()).empty()) {
      why = "\"vhost\" is not a host pattern";
      return std::nullopt;
    }
    vhost = it->get<std::string>();
  }
  if (auto it = r.find("url"); it != r.end()) {
    if (!it->is_string() || it->get_ref<const std::string&>().empty()) {
      why = "\"url\" is not a path pattern";
      return std::nullopt;
    }
    url = it->get<std::string>();
  }
  std::vector<bool> marked(bf_detection_zone().size(), false);
  if (auto it = r.find("zones"); it != r.end()) {
    if (!it->is_array() || it->empty()) {
      why = "\"zones\" is not a list of zones";
      return std::nullopt;
    }
    for (const auto& z : *it) {
      const int i = z.is_string() ? zone_index(z.get_ref<const std::string&>()) : -1;
      if (i < 0) {
        why = "unknown zone " + json_text(z);
        return std::nullopt;
      }
      marked[static_cast<std::size_t>(i)] = true;
    }
  } else {
    for (const auto& z : default_zones(flood)) marked[static_cast<std::size_t>(zone_index(z))] = true;
  }
  Json zones = Json::array();
  for (std::size_t i = 0; i < marked.size(); ++i)
    if (marked[i]) zones.push_back(bf_detection_zone()[i]);
  return Json{
      {"vhost", idna_vhost_list_normalization(vhost)}, {"url", detail::ascii_lower(url)}, {"zones", std::move(zones)}};
}

// The checked rules of a schema; faulty rules are logged and left out.
Json check_schema(const Json& schema, bool flood, const LogSink& sink) {
  Json out = Json::array();
  for (const auto& r : schema) {
    std::string why;
    if (auto ok = check_rule(r, flood, why)) {
      out.push_back(std::move(*ok));
    } else {
      log_processing(sink, "warn", "settings",
                     "An incorrect rule is set in BF attack detection module: " + json_text(r) + " (" + why + ")");
    }
  }
  return out;
}

}  // namespace

const Json& bf_df_tpl() {
  static const Json tpl = [] {
    Json t = Json::array();
    for (const char* url : {"*login*", "*logon*", "*signin*", "*sign-in*", "*sign_in*", "*/auth", "*/auth/*",
                            "*password*", "*passwd*", "*/xmlrpc.php"})
      t.push_back(rule("*", url, {"args", "body"}));
    return t;
  }();
  return tpl;
}

const Json& brute_df_tpl() {
  static const Json tpl = Json::array();
  return tpl;
}

Json parse_bf_rules(std::string_view text, bool flood, std::vector<std::string>* errors) {
  Json rules = Json::array();
  std::size_t pos = 0, line_no = 0;
  while (pos <= text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = detail::trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++line_no;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    std::vector<std::string_view> tokens;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      std::size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
      if (j > i) tokens.push_back(line.substr(i, j - i));
      i = j;
    }
    auto fail = [&](const std::string& why) {
      if (errors) errors->push_back("line " + std::to_string(line_no) + ": " + why);
    };
    if (tokens.size() > 2) {
      fail("more than a target and a zone list");
      continue;
    }
    std::string_view target = tokens[0];
    Json r = Json::object();
    auto slash = target.find('/');
    std::string_view host = slash == std::string_view::npos ? target : target.substr(0, slash);
    r["vhost"] = host.empty() ? std::string("*") : std::string(host);
    r["url"] = slash == std::string_view::npos ? std::string("*") : std::string(target.substr(slash));
    if (tokens.size() == 2) {
      Json zones = Json::array();
      std::string_view list = tokens[1];
      for (std::size_t i = 0; i <= list.size();) {
        auto comma = list.find(',', i);
        if (comma == std::string_view::npos) comma = list.size();
        zones.push_back(std::string(list.substr(i, comma - i)));
        i = comma + 1;
      }
      r["zones"] = std::move(zones);
    }
    std::string why;
    if (auto ok = check_rule(r, flood, why)) {
      rules.push_back(std::move(*ok));
    } else {
      fail(why);
    }
  }
  return rules;
}

Json get_bf_dfs_schema(const Json&, const Json& cur_schema, const LogSink& sink) {
  try {
    if (!cur_schema.is_array()) {
      log_processing(sink, "warn", "settings",
                     "An incorrect schema is set in BF attack detection module, the built-in rules will be used");
      return bf_df_tpl();
    }
    return check_schema(cur_schema, false, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "bf", std::string("An error occurred in get_bf_dfs_schema: ") + e.what());
    return bf_df_tpl();
  }
}

Json get_brute_dfs_schema(const Json&, const std::string& path, bool flood, const Json& cur_schema,
                          const LogSink& sink) {
  try {
    Json current = cur_schema.is_array() ? check_schema(cur_schema, flood, sink) : brute_df_tpl();
    if (path.empty()) return current;
    std::string why;
    auto text = read_whole_file(path, &why);
    if (!text) {
      log_processing(sink, "error", "os", "An error occurred while loading file " + path + ": " + why);
      return current;
    }
    std::vector<std::string> errors;
    Json rules = parse_bf_rules(*text, flood, &errors);
    for (const auto& e : errors)
      log_processing(sink, "warn", "settings", "An incorrect rule is set in file " + path + ": " + e);
    return rules;
  } catch (const std::exception& e) {
    log_processing(sink, "error", "bf", std::string("An error occurred in get_brute_dfs_schema: ") + e.what());
    return cur_schema.is_array() ? cur_schema : brute_df_tpl();
  }
}

bool wildcard_match(std::string_view p, std::string_view t) {
  std::size_t pi = 0, ti = 0, star = std::string_view::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (pi < p.size() && p[pi] == t[ti]) {
      ++pi;
      ++ti;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

namespace {

struct CompiledRule {
  std::string vhost;
  std::string url;
  unsigned zones = 0;  // bit i: bf_detection_zone()[i]
};

std::vector<CompiledRule> compile(const Json& schema, bool flood) {
  std::vector<CompiledRule> out;
  if (!schema.is_array()) return out;
  for (const auto& r : schema) {
    std::string why;
    auto ok = check_rule(r, flood, why);
    if (!ok) continue;
    CompiledRule c{(*ok)["vhost"].get<std::string>(), (*ok)["url"].get<std::string>(), 0};
    for (const auto& z : (*ok)["zones"]) c.zones |= 1u << zone_index(z.get_ref<const std::string&>());
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

struct BfMatcher::Impl {
  std::vector<CompiledRule> brute;
  std::vector<CompiledRule> flood;
  IpList wl_ip;
  std::vector<std::string> wl_host;
};

BfMatcher::BfMatcher(const Json& bf_schema, const Json& brute_schema, const Json& flood_schema,
                     const Json& bf_wl_ip_list, const Json& bf_wl_host_list)
    : impl_(std::make_unique<Impl>()) {
  impl_->brute = compile(bf_schema, false);
  auto more = compile(brute_schema, false);
  impl_->brute.insert(impl_->brute.end(), more.begin(), more.end());
  impl_->flood = compile(flood_schema, true);
  impl_->wl_ip = IpList(bf_wl_ip_list);
  if (bf_wl_host_list.is_array()) {
    for (const auto& h : bf_wl_host_list)
      if (h.is_string()) {
        auto p = idna_vhost_list_normalization(h.get_ref<const std::string&>());
        if (!p.empty()) impl_->wl_host.push_back(std::move(p));
      }
  }
}

BfMatcher::~BfMatcher() = default;
BfMatcher::BfMatcher(BfMatcher&&) noexcept = default;
BfMatcher& BfMatcher::operator=(BfMatcher&&) noexcept = default;

std::vector<BfCandidate> BfMatcher::candidates(const RequestRecord& r) const {
  std::vector<BfCandidate> out;
  if (impl_->brute.empty() && impl_->flood.empty()) return out;
  const std::string host = r.vhost.is_string() ? r.vhost.get<std::string>() : std::string();
  const std::string ip = r.ip.is_string() ? r.ip.get<std::string>() : std::string();
  if (!ip.empty() && impl_->wl_ip.contains(ip)) return out;
  for (const auto& p : impl_->wl_host)
    if (host_pattern_match(p, host)) return out;
  const std::string key = host_key(host);
  auto marked = [&](const std::vector<CompiledRule>& rules) {
    unsigned zones = 0;
    for (const auto& rule : rules)
      if ((rule.zones & ~zones) && host_pattern_match(rule.vhost, key) && wildcard_match(rule.url, r.url))
        zones |= rule.zones;
    std::string text;
    for (std::size_t i = 0; i < bf_detection_zone().size(); ++i) {
      if (!(zones & (1u << i))) continue;
      const std::string* v = zone_field(r, bf_detection_zone()[i]);
      if (!v || v->empty()) continue;
      if (!text.empty()) text += ',';
      text += bf_detection_zone()[i];
    }
    return text;
  };
  if (auto z = marked(impl_->brute); !z.empty()) out.push_back({0, std::move(z)});
  if (auto z = marked(impl_->flood); !z.empty()) out.push_back({1, std::move(z)});
  return out;
}

void BfMatcher::append_rows(const RequestRecord& r, RequestTable& out) const {
  for (auto& c : candidates(r)) {
    RequestRecord row = r;
    row.extras["flood_detect"] = c.flood_detect;
    row.extras["zone_detect"] = std::move(c.zone_detect);
    out.push_back(std::move(row));
  }
}

std::vector<BfCandidate> bf_candidates(const RequestRecord& r, const Json& bf_schema, const Json& brute_schema,
                                       const Json& flood_schema, const Json& bf_wl_ip_list,
                                       const Json& bf_wl_host_list) {
  return BfMatcher(bf_schema, brute_schema, flood_schema, bf_wl_ip_list, bf_wl_host_list).candidates(r);
}

}  // namespace tessel::core
