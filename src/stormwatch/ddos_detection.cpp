#include "stormwatch/ddos_detection.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <set>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/log.h"
#include "core/data/reputation.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::stormwatch {

namespace {

constexpr std::size_t min_ip_cnt = 3;
constexpr std::size_t cc_min_occur_pcnt = 10;
constexpr std::size_t scraping_min_404 = 20;
constexpr std::int64_t geoip_slow_s = 30;

using Rows = std::vector<const RequestRecord*>;

// Group keys that point into the rows, or into `owned` for values that are
// not texts.
class Keys {
 public:
  std::string_view of(const Json& v) {
    if (v.is_string()) return v.get_ref<const std::string&>();
    owned_.push_back(value_key(v));
    return owned_.back();
  }
  void clear() { owned_.clear(); }

 private:
  std::deque<std::string> owned_;
};

// A hash for short keys (host names, addresses).
std::uint64_t key_hash(std::string_view k) {
  auto mix = [](std::uint64_t h) {
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 31);
  };
  std::uint64_t h = 0x9e3779b97f4a7c15ull ^ k.size();
  const char* p = k.data();
  std::size_t n = k.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w);
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = mix(h ^ w ^ 0xff51afd7ed558ccdull);
  }
  h ^= h >> 29;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 32);
}

// The window's rows grouped by host, then by address within the host: each
// host in order of first appearance with the addresses `keep` accepts (by
// their number of rows), in order of first appearance, their rows in table
// order. One pass over the rows; the working arrays are kept per thread so
// windows after the first allocate only what they return.
class HostAddressGroups {
 public:
  struct Host {
    const Json* vhost = nullptr;
    std::vector<Rows> addresses;
  };

  template <class Keep>
  std::vector<Host> operator()(const Rows& rows, Keep keep) {
    keys_.clear();
    vhosts_.clear();
    vhost_index_.clear();
    pairs_.clear();
    std::size_t cap = 16;
    while (cap < rows.size() * 2) cap *= 2;
    const std::size_t mask = cap - 1;
    slots_.assign(cap, 0);
    pair_of_.resize(rows.size());
    // Keys and hashes first (the rows' loads overlap), then the table with
    // the slot of a later row fetched ahead.
    keyed_.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const RequestRecord& r = *rows[i];
      Keyed& k = keyed_[i];
      k.vhost = vhost_of(keys_.of(r.vhost), r.vhost);
      k.ip = keys_.of(r.ip);
      k.hash = key_hash(k.ip) + k.vhost * 0x9e3779b97f4a7c15ull;
    }
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i + ahead < rows.size()) __builtin_prefetch(&slots_[keyed_[i + ahead].hash & mask]);
      const Keyed& k = keyed_[i];
      const std::uint64_t tag = k.hash >> 32 << 32;
      std::size_t at = k.hash & mask;
      std::uint32_t g = 0;
      for (;; at = (at + 1) & mask) {
        const std::uint64_t s = slots_[at];
        if (s == 0) {
          pairs_.push_back(Pair{k.ip, k.vhost, 0});
          g = static_cast<std::uint32_t>(pairs_.size() - 1);
          slots_[at] = tag | (g + 1);
          break;
        }
        if ((s & ~0xffffffffull) == tag) {
          const Pair& p = pairs_[(s & 0xffffffffull) - 1];
          if (p.vhost == k.vhost && p.ip == k.ip) {
            g = static_cast<std::uint32_t>((s & 0xffffffffull) - 1);
            break;
          }
        }
      }
      ++pairs_[g].rows;
      pair_of_[i] = g;
    }
    std::vector<Host> out(vhosts_.size());
    for (std::size_t v = 0; v < vhosts_.size(); ++v) out[v].vhost = vhosts_[v].value;
    constexpr std::uint32_t none = ~0u;
    for (Pair& p : pairs_) {
      if (!keep(p.rows)) {
        p.rows = none;
        continue;
      }
      auto& addrs = out[p.vhost].addresses;
      addrs.emplace_back().reserve(p.rows);
      p.rows = static_cast<std::uint32_t>(addrs.size() - 1);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Pair& p = pairs_[pair_of_[i]];
      if (p.rows != none) out[p.vhost].addresses[p.rows].push_back(rows[i]);
    }
    return out;
  }

 private:
  struct Pair {
    std::string_view ip;
    std::uint32_t vhost;
    std::uint32_t rows;  // then the address's place in its host
  };
  struct VHost {
    std::string_view key;
    const Json* value;
  };
  struct Keyed {
    std::string_view ip;
    std::uint64_t hash;
    std::uint32_t vhost;
  };

  std::uint32_t vhost_of(std::string_view key, const Json& value) {
    // Windows hold few hosts: a scan of the recent ones before the index.
    if (vhosts_.size() <= 16) {
      for (std::size_t v = 0; v < vhosts_.size(); ++v)
        if (vhosts_[v].key == key) return static_cast<std::uint32_t>(v);
    } else if (auto it = vhost_index_.find(key); it != vhost_index_.end()) {
      return it->second;
    }
    const auto v = static_cast<std::uint32_t>(vhosts_.size());
    vhosts_.push_back(VHost{key, &value});
    vhost_index_.emplace(key, v);
    return v;
  }

  Keys keys_;
  std::vector<VHost> vhosts_;
  std::unordered_map<std::string_view, std::uint32_t> vhost_index_;
  std::vector<Pair> pairs_;
  std::vector<std::uint64_t> slots_;  // hash's high half | pair + 1; 0 free
  std::vector<std::uint32_t> pair_of_;
  std::vector<Keyed> keyed_;
};

// Reached once per window: members are then used through a plain pointer.
[[gnu::noinline]] HostAddressGroups& thread_groups() {
  thread_local HostAddressGroups groups;
  return groups;
}

bool flag(const Json& m, const char* key) {
  if (!m.is_object()) return false;
  auto it = m.find(key);
  return it != m.end() && py_truthy(*it);
}

std::string text_of(const Json& v) { return v.is_string() ? v.get<std::string>() : py_str(v); }

bool on_block_list(const Json& lists) {
  if (!lists.is_array() && !lists.is_object())
    throw std::runtime_error("block-list answer is not a list: " + lists.dump());
  for (const Json& name : lists) {
    if (name.is_string()) {
      const auto& s = name.get_ref<const std::string&>();
      if (s == "XBL" || s == "SBL" || s == "S5H") return true;
    }
  }
  return false;
}

// One finding whose rows are reported: the address's rows, copied once the
// host's findings are all known.
struct Finding {
  const Rows* ivdf;
  bool confirmed;
  bool to_api;
  const char* description;
};

// One host's reports of one window.
struct HostReports {
  std::vector<Finding> findings;
  std::vector<AadEntry> aad;
};

// The address's report row: group_id of its last row, then `possible` and
// `description`.
RequestRecord report_row(const RequestRecord& src, const Json& group_id, bool possible, const char* description) {
  RequestRecord r = src;
  r.extras["group_id"] = group_id;
  r.extras["possible"] = possible;
  r.extras["description"] = description;
  return r;
}

void add_report(HostReports& rep, const Rows& ivdf, const char* description, bool confirmed, bool send_possible,
                const std::string& url, const std::string& ip, const char* label) {
  const bool to_api = !url.empty() && (confirmed || send_possible);
  if (confirmed || to_api) rep.findings.push_back(Finding{&ivdf, confirmed, to_api, description});
  if (confirmed) rep.aad.push_back(AadEntry{ip, kDDoS, label});
}

// The broker rows (the last report row of each confirmed finding) and the
// API rows (every report row, the last only with latest_only), in the order
// of the findings; each table sized once.
void report_tables(const std::vector<Finding>& findings, bool latest_only, RequestTable& rmq_df, RequestTable& api_df) {
  std::size_t confirmed = 0, api_rows = 0;
  for (const Finding& f : findings) {
    confirmed += f.confirmed;
    if (f.to_api) api_rows += latest_only ? 1 : f.ivdf->size();
  }
  rmq_df.reserve(confirmed);
  api_df.reserve(api_rows);
  for (const Finding& f : findings) {
    const Rows& ivdf = *f.ivdf;
    const Json& group_id = ivdf.back()->request_id;
    if (f.to_api) {
      for (std::size_t i = latest_only ? ivdf.size() - 1 : 0; i < ivdf.size(); ++i)
        api_df.push_back(report_row(*ivdf[i], group_id, !f.confirmed, f.description));
      if (f.confirmed) rmq_df.push_back(api_df.back());
    } else if (f.confirmed) {
      rmq_df.push_back(report_row(*ivdf.back(), group_id, false, f.description));
    }
  }
}

struct Address {
  std::string ip;
  const Rows* ivdf = nullptr;
  bool private_ip = false;
  Json geoip_data = Json::object();
  std::string cc;
};

class Worker {
 public:
  Worker(const CountryCounts& rccdfs, std::int64_t interval, bool latest_only, bool send_possible,
         const DDoSWorkerEnv& env)
      : rccdfs_(rccdfs), interval_(interval), latest_only_(latest_only), send_possible_(send_possible), env_(env) {}

  // `candidates`: the host's addresses with more than min_ip_cnt rows.
  void host(const Json& vhost_value, const std::vector<Rows>& candidates, const std::stop_token& stop) {
    Keys vkeys;
    const std::string_view vhost = vkeys.of(vhost_value);
    const std::string vhost_text = text_of(vhost_value);
    // Countries usual for the host: at least 10 % of its history rows.
    std::set<std::string> usual;
    if (auto h = rccdfs_.find(std::string(vhost)); h != rccdfs_.end()) {
      for (const auto& [code, n] : h->second.cc) {
        if (n * 100 >= h->second.rows * cc_min_occur_pcnt) usual.insert(code);
      }
    }
    suspicious_.clear();
    for (const std::string& code : core::ddos_bl_cc()) {
      if (!usual.count(code)) suspicious_.insert(code);
    }
    HostReports rep;
    for (const Rows& ivdf : candidates) {
      // Stopping early still hands over what was found so far.
      if (stop.stop_requested()) break;
      Address a;
      a.ivdf = &ivdf;
      try {
        enrich(a, *ivdf.front());
      } catch (const std::exception& e) {
        // One address that cannot be examined costs only its own rows.
        log("error", "ddos", std::string("An error occurred in ddos_detection: ") + e.what());
        continue;
      }
      if (scraping(a, vhost_text, rep)) continue;
      ddos(a, vhost_text, rep);
    }
    RequestTable rmq_df, api_df;
    report_tables(rep.findings, latest_only_, rmq_df, api_df);
    if (!rmq_df.empty()) env_.services.rmq_bt_processing(rmq_df, kDDoS);
    if (!api_df.empty()) env_.q_attack_bd->put(AttackReport{std::move(api_df), kDDoS});
    if (!rep.aad.empty()) env_.q_aad->put(std::move(rep.aad));
  }

 private:
  void log(const char* level, const char* category, const std::string& text) const {
    core::log_processing(env_.sink, level, category, text);
  }

  void enrich(Address& a, const RequestRecord& first) {
    if (!first.ip.is_string()) throw std::invalid_argument("not an address: " + first.ip.dump());
    a.ip = first.ip.get<std::string>();
    const std::string& icc = a.ivdf->back()->cc;
    a.private_ip = core::is_private_ip(a.ip);
    if (!a.private_ip) {
      const std::int64_t mtime = env_.clock->now_s();
      const Json r = env_.services.get_geoip(Json::array({a.ip}));
      const std::int64_t ctime = env_.clock->now_s();
      if (ctime > mtime + geoip_slow_s) {
        log("warn", "os", "DDoS analysis: IPG process takes more than " + std::to_string(ctime - mtime) + " sec.");
      }
      const Json& entry = r.at(a.ip);
      if (flag(entry, "cc")) {
        a.geoip_data = entry;
        a.cc = text_of(entry["cc"]);
      }
    }
    if (!icc.empty()) a.cc = icc;
  }

  // The web-scraping check; true when the address is confirmed.
  bool scraping(const Address& a, const std::string& vhost, HostReports& rep) {
    bool blocked = false;
    try {
      std::size_t n404 = 0;
      for (const RequestRecord* r : *a.ivdf) n404 += r->status_code == 404;
      if (n404 <= scraping_min_404) return false;
      std::string pointer;
      if (a.private_ip) {
        blocked = true;
      } else if (a.geoip_data.empty() || flag(a.geoip_data, "crawler")) {
        blocked = false;
      } else {
        for (const char* w : {"tor", "proxy", "hosting"}) {
          if (flag(a.geoip_data, w)) {
            pointer = w;
            break;
          }
        }
        if (pointer.empty() && on_block_list(env_.services.get_geobl(a.ip))) pointer = "blocklist";
        blocked = !pointer.empty();
      }
      const std::string ip_add_msg = pointer.empty() ? "" : " (" + pointer + ")";
      add_report(rep, *a.ivdf, core::scraping_desc, blocked, send_possible_, env_.set_attack_url, a.ip, "Web scraping");
      log("info", "ddos",
          std::string(blocked ? "Web scraping" : "Possible web scraping") + " attack was detected from " + a.ip +
              ip_add_msg + ", target: " + vhost);
    } catch (const std::exception& e) {
      log("error", "ddos", "An error occurred while scraping analysis of IP address " + a.ip + ": " + e.what());
    }
    return blocked;
  }

  // The DDoS check on all of the address's rows.
  void ddos(const Address& a, const std::string& vhost, HostReports& rep) {
    try {
      const Rows& ivdf = *a.ivdf;
      const std::string& url = ivdf.front()->url;
      for (const RequestRecord* r : ivdf) {
        if (r->url != url) return;
      }
      std::map<std::tuple<std::string_view, std::string_view, std::string_view>, std::size_t> same;
      std::size_t szivdf_cnt = 0;
      for (const RequestRecord* r : ivdf) {
        szivdf_cnt = std::max(szivdf_cnt, ++same[{r->url, r->args, r->body}]);
      }
      if (szivdf_cnt < min_ip_cnt) return;
      const std::string& liuvdf = ivdf.back()->url;
      const std::string& cc = a.cc;
      auto marker = [&cc](const std::string& word) {
        return " (" + (cc.empty() ? word : word.empty() ? cc : cc + ", " + word) + ")";
      };
      std::string ip_add_msg = cc.empty() ? "" : marker("");
      bool confirmed = a.private_ip;
      if (!confirmed) {
        std::unordered_set<std::string_view> uas;
        for (const RequestRecord* r : ivdf) uas.insert(r->ua);
        if (uas.size() > 3) {
          ip_add_msg = marker("VUA");
          confirmed = true;
        }
        if (!a.geoip_data.empty() && !flag(a.geoip_data, "crawler")) {
          bool marked = confirmed;
          if (!confirmed) {
            for (const char* w : {"tor", "proxy", "hosting"}) {
              if (flag(a.geoip_data, w)) {
                ip_add_msg = " (" + cc + ", " + w + ")";
                marked = true;
                break;
              }
            }
            if (!marked && suspicious_.count(cc)) {
              ip_add_msg = " (" + cc + ", CCA)";
              marked = true;
            }
            if (!marked && on_block_list(env_.services.get_geobl(a.ip))) {
              ip_add_msg = " (blocklist)";
              marked = true;
            }
          }
          if (marked) {
            const bool mobile_few =
                flag(a.geoip_data, "mobile") && szivdf_cnt <= 5 && static_cast<std::int64_t>(szivdf_cnt) < interval_;
            if (mobile_few) ip_add_msg = " (" + cc + ")";
            confirmed = !mobile_few;
          }
        }
      }
      add_report(rep, ivdf, core::ddos_desc, confirmed, send_possible_, env_.set_attack_url, a.ip, "DDoS");
      log("info", "ddos",
          std::string(confirmed ? "The DDoS" : "Possible DDoS") + " attack was detected from " + a.ip + ip_add_msg +
              ", target: " + vhost + liuvdf);
    } catch (const std::exception& e) {
      log("error", "ddos", "An error occurred during DDoS analysis of data from " + a.ip + ": " + e.what());
    }
  }

  const CountryCounts& rccdfs_;
  const std::int64_t interval_;
  const bool latest_only_;
  const bool send_possible_;
  const DDoSWorkerEnv& env_;
  std::set<std::string> suspicious_;
};

}  // namespace

std::string value_key(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  return "\x1f" + v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void ddos_detection(const RequestWindow& idfs, const CountryCounts& rccdfs, std::int64_t interval, bool latest_only,
                    bool send_possible, const DDoSWorkerEnv& env, const std::stop_token& stop) {
  try {
    Worker worker(rccdfs, interval, latest_only, send_possible, env);
    for (const auto& h : thread_groups()(idfs.rows(), [](std::size_t n) { return n > min_ip_cnt; })) {
      if (stop.stop_requested()) return;
      if (!h.addresses.empty()) worker.host(*h.vhost, h.addresses, stop);
    }
  } catch (const std::exception& e) {
    core::log_processing(env.sink, "error", "ddos", std::string("An error occurred in ddos_detection: ") + e.what());
  }
}

}  // namespace tessel::stormwatch
