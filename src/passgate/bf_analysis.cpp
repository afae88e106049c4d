#include "passgate/bf_analysis.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/data/refdata.h"
#include "core/net/broker_publish.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/child.h"

namespace tessel::passgate {

namespace {

using Rows = std::vector<const RequestRecord*>;

const Json* extra(const RequestRecord& r, const char* name) {
  auto it = r.extras.find(name);
  return it == r.extras.end() ? nullptr : &*it;
}

// flood_detect compared with 0 or 1 as a number; any other value (or none)
// matches neither.
bool flood_detect_is(const RequestRecord& r, int value) {
  const Json* v = extra(r, "flood_detect");
  if (v == nullptr || !v->is_number()) return false;
  return v->get<double>() == value;
}

// A grouping key for a column that holds text as a rule: the text itself,
// or the JSON text of another value kept in `store`. A null value equals
// nothing and gives no key.
bool key_of(const Json& v, std::deque<std::string>& store, std::string_view& out) {
  if (v.is_null()) return false;
  if (v.is_string()) {
    out = v.get_ref<const std::string&>();
  } else {
    store.push_back("\x01" + v.dump());
    out = store.back();
  }
  return true;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool flag(const Json* record, const char* name) {
  if (record == nullptr) return false;
  auto it = record->find(name);
  return it != record->end() && py_truthy(*it);
}

struct Kind {
  const char* msg;   // the word in the messages
  const char* desc;  // the label
  int code;
};

constexpr Kind kBrute{"brute-force", "Brute-force", kBruteForce};
constexpr Kind kFloodKind{"flood", "Flood", kFlood};

class Analysis {
 public:
  Analysis(bool flood, const Json& vhost, const std::string& url, const BfSettings& s, const BfWorkerEnv& env)
      : flood_(flood), kind_(flood ? kFloodKind : kBrute), vhost_(py_str(vhost)), url_(url), s_(s), env_(env) {}

  void run(const Rows& udf) {
    const auto& zones = core::bf_detection_zone();
    // Each row's zones, once: bit z stands for zones[z].
    zones_.reserve(udf.size());
    for (const RequestRecord* r : udf) {
      const Json* v = extra(*r, "zone_detect");
      const std::string_view zd =
          v != nullptr && v->is_string() ? std::string_view(v->get_ref<const std::string&>()) : std::string_view();
      unsigned m = 0;
      for (std::size_t z = 0; z < zones.size(); ++z)
        if (zd.find(zones[z]) != std::string_view::npos) m |= 1u << z;
      zones_.push_back(m);
    }
    addr_.assign(udf.size(), kUnset);
    for (std::size_t z = 0; z < zones.size(); ++z) zone_pass(udf, z);
    hand_over();
  }

 private:
  static constexpr std::uint32_t kUnset = 0xffffffff;
  static constexpr std::uint32_t kNoAddress = 0xfffffffe;

  // One address's rows of a zone and their values, in table order.
  struct Address {
    std::uint32_t id;
    std::span<const RequestRecord* const> rows;
    std::span<const std::string* const> values;
  };
  struct Picked {
    std::size_t i;  // in udf
    const RequestRecord* row;
    const std::string* value;
    std::uint32_t addr;
  };

  // The address of row i, told apart as a grouping key; kNoAddress for a
  // null one.
  std::uint32_t address(std::size_t i, const RequestRecord& r) {
    if (addr_[i] != kUnset) return addr_[i];
    std::string_view key;
    if (!key_of(r.ip, store_, key)) return addr_[i] = kNoAddress;
    auto [it, added] = index_.try_emplace(key, static_cast<std::uint32_t>(ips_.size()));
    if (added) {
      ips_.push_back(&r.ip);
      ip_text_.emplace_back();
      count_.push_back(0);
      start_.push_back(0);
    }
    return addr_[i] = it->second;
  }
  const std::string& ip_text(std::uint32_t a) {
    if (!ip_text_[a]) ip_text_[a] = py_str(*ips_[a]);
    return *ip_text_[a];
  }

  void zone_pass(const Rows& udf, std::size_t z) {
    const std::string& zone = core::bf_detection_zone()[z];
    picked_.clear();
    for (std::size_t i = 0; i < udf.size(); ++i) {
      if ((zones_[i] & (1u << z)) == 0) continue;
      const RequestRecord* r = udf[i];
      const std::string* v = zone_field(*r, zone);
      if (v == nullptr) throw std::invalid_argument("no column for zone " + zone);
      if (v->empty()) continue;
      picked_.push_back(Picked{i, r, v, kNoAddress});
    }
    if (picked_.empty()) return;
    if (static_cast<std::int64_t>(picked_.size()) < s_.max_val) return;

    // Addresses in order of first appearance, each one's rows side by side.
    order_.clear();
    for (Picked& p : picked_) {
      p.addr = address(p.i, *p.row);
      if (p.addr != kNoAddress && count_[p.addr]++ == 0) order_.push_back(p.addr);
    }
    std::size_t at = 0;
    for (std::uint32_t a : order_) {
      start_[a] = at;
      at += count_[a];
    }
    rows_.resize(at);
    values_.resize(at);
    for (const Picked& p : picked_) {
      if (p.addr == kNoAddress) continue;
      const std::size_t to = start_[p.addr]++;
      rows_[to] = p.row;
      values_[to] = p.value;
    }
    for (std::uint32_t a : order_) {
      const std::size_t n = count_[a];
      count_[a] = 0;
      const std::size_t begin = start_[a] - n;
      try {
        address_pass(Address{a, {rows_.data() + begin, n}, {values_.data() + begin, n}}, zone);
      } catch (const std::exception& e) {
        // One address that cannot be examined costs only its own findings.
        core::log_processing(env_.ctx.sink, "error", "bf",
                             std::string("An error occurred in bf_analysis: ") + e.what());
      }
    }
  }

  // Values told apart; a few are compared directly.
  static std::size_t distinct_count(std::span<const std::string* const> values) {
    if (values.size() <= 16) {
      std::string_view seen[16];
      std::size_t d = 0;
      for (const std::string* v : values) {
        if (std::find(seen, seen + d, std::string_view(*v)) == seen + d) seen[d++] = *v;
      }
      return d;
    }
    std::unordered_set<std::string_view> distinct;
    distinct.reserve(values.size());
    for (const std::string* v : values) distinct.insert(*v);
    return distinct.size();
  }

  void address_pass(const Address& a, const std::string& zone) {
    // Outside a flood, one request from an address is no attempt.
    if (!flood_ && a.rows.size() == 1) return;
    const std::string& ip = ip_text(a.id);
    if (bls_.count(ip)) return;  // already blocked
    // n: the address's requests; d: its distinct values (every request counts in a flood).
    const auto n = static_cast<std::int64_t>(a.rows.size());
    const std::int64_t d = flood_ ? n : static_cast<std::int64_t>(distinct_count(a.values));
    if (d == 0) return;
    // More than three distinct values block; a few tries of one value are not reported.
    bool blocked = d > 3;
    if (!flood_ && n < 4 && d == 1) return;

    const RequestRecord& last = *a.rows.back();
    // The reputation look-up, timed in whole seconds.
    const std::int64_t t0 = env_.services.now();
    const Json res = env_.services.get_geoip(Json::array({ip}));
    const std::int64_t took = env_.services.now() - t0;
    if (took > 30) {
      core::log_processing(env_.ctx.sink, "warn", "os",
                           "BF analysis: IPG process takes more than " + std::to_string(took) + " sec.");
    }
    if (!res.is_object()) throw std::runtime_error("reputation look-up gave no mapping for " + ip);
    auto entry = res.find(ip);
    if (entry == res.end()) throw std::runtime_error("reputation look-up gave no record for " + ip);

    // The record counts only with a country; the request's own country wins over it.
    const Json* record = nullptr;
    std::string cc;
    if (entry->is_object()) {
      auto c = entry->find("cc");
      if (c != entry->end() && py_truthy(*c)) {
        record = &*entry;
        cc = py_str(*c);
      }
    }
    if (!last.cc.empty()) cc = last.cc;

    // Below the block threshold, a tor, proxy or hosting address (not a crawler) is marked;
    // a single value from an unmarked address is not reported.
    std::string marker;
    if (!blocked && record != nullptr) {
      if (!flag(record, "crawler")) {
        for (const char* word : {"tor", "proxy", "hosting"}) {
          if (flag(record, word)) {
            marker = " (" + cc + ", " + word + ")";
            break;
          }
        }
      }
      if (d == 1 && marker.empty()) return;
    }
    // A mobile address with few requests is only a possible attack.
    if (blocked && flag(record, "mobile") && n <= 5 && n < s_.max_val) blocked = false;
    if (marker.empty() && !cc.empty()) marker = " (" + cc + ")";
    report(a, ip, zone, n, marker, blocked);
  }

  void report(const Address& a, const std::string& ip, const std::string& zone, std::int64_t n,
              const std::string& marker, bool blocked) {
    const RequestRecord& last = *a.rows.back();
    const std::string mz = upper(zone);
    const std::string tail = std::string(kind_.msg) + " attack was detected " + std::to_string(n) + " time(s) from " +
                             ip + marker + ", target: " + vhost_ + url_ + ", zone: " + mz +
                             ", method: " + py_str(last.method);
    const bool to_api = !env_.ctx.endpoints.set_attack_url.empty();
    core::log_processing(env_.ctx.sink, "info", "bf", (blocked ? "The " : "Possible ") + tail);
    // Rows are shaped only for the channels that take them.
    if (!blocked && !(s_.send_possible && to_api)) return;
    RequestTable rows;
    auto add = [&](const RequestRecord& src) {
      RequestRecord row = src;
      row.extras["group_id"] = last.request_id;
      row.extras.erase("flood_detect");
      row.extras.erase("zone_detect");
      row.mz = mz;
      row.extras["possible"] = !blocked;
      row.extras["description"] = kind_.desc;
      rows.push_back(std::move(row));
    };
    if (s_.latest_only) {
      add(last);
    } else {
      rows.reserve(a.rows.size());
      for (const auto* r : a.rows) add(*r);
    }
    if (blocked) {
      bls_.insert(ip);
      rmq_rows_.push_back(rows.back());
      aad_.push_back(AadEntry{ip, kind_.code, kind_.desc});
    }
    if (to_api) append(api_rows_, std::move(rows));
  }

  static void append(RequestTable& to, RequestTable&& rows) {
    for (auto& r : rows) to.push_back(std::move(r));
  }

  void hand_over() {
    if (!rmq_rows_.empty()) env_.services.publish(table_to_json(rmq_rows_, bf_rmq_dropped_columns()), kind_.code);
    if (!api_rows_.empty()) {
      for (auto& r : api_rows_)
        if (!r.jbody.empty()) r.body = r.jbody;
      env_.ctx.queues.q_attack_bd->put(AttackReport{std::move(api_rows_), kind_.code, bf_api_dropped_columns()});
    }
    if (!aad_.empty()) env_.ctx.queues.q_aad->put(std::move(aad_));
  }

  bool flood_;
  Kind kind_;
  std::string vhost_;
  const std::string& url_;
  const BfSettings& s_;
  const BfWorkerEnv& env_;
  std::vector<unsigned> zones_;      // of the rows of udf
  std::vector<std::uint32_t> addr_;  // of the rows of udf, kUnset until asked
  std::unordered_map<std::string_view, std::uint32_t> index_;
  std::deque<std::string> store_;  // keys of addresses that are no text
  std::vector<const Json*> ips_;   // by address
  std::vector<std::optional<std::string>> ip_text_;
  std::vector<std::size_t> count_, start_;  // by address; zeros between zone passes
  std::vector<Picked> picked_;
  std::vector<std::uint32_t> order_;
  Rows rows_;
  std::vector<const std::string*> values_;
  std::unordered_set<std::string> bls_;
  std::vector<AadEntry> aad_;
  RequestTable rmq_rows_;
  RequestTable api_rows_;
};

void analyse(const Rows& udf, bool flood_detect, const Json& vhost, const std::string& url, const BfSettings& s,
             const BfWorkerEnv& env) {
  try {
    Analysis(flood_detect, vhost, url, s, env).run(udf);
  } catch (const std::exception& e) {
    core::log_processing(env.ctx.sink, "error", "bf", std::string("An error occurred in bf_analysis: ") + e.what());
  } catch (...) {
    core::log_processing(env.ctx.sink, "error", "bf", "An error occurred in bf_analysis: unknown error");
  }
}

}  // namespace

const std::vector<std::string>& bf_rmq_dropped_columns() {
  static const std::vector<std::string> c = {"orig_zone_data", "cc"};
  return c;
}

const std::vector<std::string>& bf_api_dropped_columns() {
  static const std::vector<std::string> c = {"orig_zone_data", "cc", "jbody"};
  return c;
}

BfServices make_bf_services(const core::DetectorContext& ctx) {
  BfServices s;
  s.get_geoip = [geo = ctx.geo, token = ctx.geo_token, api = ctx.api, sink = ctx.sink](const Json& addrs) {
    if (geo) return core::get_geoip(*geo, addrs, token, api, sink);
    // Without reference data nothing is known of any address.
    Json out = Json::object();
    for (const auto& a : addrs) out[py_str(a)] = Json{{"cc", ""}};
    return out;
  };
  s.publish = [brokers = ctx.rmq_rc_param_list, queue = ctx.tessel_rmq_q, sink = ctx.sink](const Json& rows, int kind) {
    core::rmq_bt_processing(rows, kind, brokers, queue, sink);
  };
  s.now = [] { return unix_now(); };
  return s;
}

void bf_analysis(const RequestTable& udf, bool flood_detect, const Json& vhost, const std::string& url,
                 const BfSettings& settings, const BfWorkerEnv& env) {
  Rows rows;
  rows.reserve(udf.size());
  for (const auto& r : udf) rows.push_back(&r);
  analyse(rows, flood_detect, vhost, url, settings, env);
}

void bf_detection(const RequestTable& df, const BfSettings& settings, const BfWorkerEnv& env) {
  Rows rows;
  rows.reserve(df.size());
  for (const auto& r : df) rows.push_back(&r);
  bf_detection(rows, settings, env);
}

void bf_detection(const Rows& df, const BfSettings& settings, const BfWorkerEnv& env, const std::stop_token& stop) {
  try {
    struct Group {
      std::string url;
      Rows rows;
    };
    struct Host {
      Json vhost;
      std::unordered_map<std::string_view, std::size_t> index;
      std::vector<Group> groups;
    };
    // Hosts in order of first appearance, targets likewise within a host.
    std::vector<Host> hosts;
    hosts.reserve(4);
    std::unordered_map<std::string_view, std::size_t> host_index;
    std::deque<std::string> store;
    std::string_view key;
    for (const RequestRecord* row : df) {
      const RequestRecord& r = *row;
      if (!key_of(r.vhost, store, key)) continue;
      auto [hit, hadded] = host_index.try_emplace(key, hosts.size());
      if (hadded) hosts.push_back(Host{r.vhost, {}, {}});
      Host& h = hosts[hit->second];
      auto git = h.index.find(r.url);
      if (git == h.index.end()) {
        h.groups.push_back(Group{r.url, {}});
        git = h.index.emplace(std::string_view(r.url), h.groups.size() - 1).first;
      }
      h.groups[git->second].rows.push_back(&r);
    }
    Rows brute, flood;
    for (const auto& h : hosts) {
      for (const auto& g : h.groups) {
        if (stop.stop_requested()) return;
        if (static_cast<std::int64_t>(g.rows.size()) <= settings.max_val) continue;
        brute.clear();
        flood.clear();
        for (const auto* r : g.rows) {
          if (flood_detect_is(*r, 0))
            brute.push_back(r);
          else if (flood_detect_is(*r, 1))
            flood.push_back(r);
        }
        if (!brute.empty()) analyse(brute, false, h.vhost, g.url, settings, env);
        if (!flood.empty()) analyse(flood, true, h.vhost, g.url, settings, env);
      }
    }
  } catch (const std::exception& e) {
    core::log_processing(env.ctx.sink, "info", "bf", std::string("An error occurred in bf_detection: ") + e.what());
  } catch (...) {
    core::log_processing(env.ctx.sink, "info", "bf", "An error occurred in bf_detection: unknown error");
  }
}

}  // namespace tessel::passgate
