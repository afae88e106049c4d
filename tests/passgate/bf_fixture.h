#pragma once
// Rows, services and queues of the brute-force worker tests.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "passgate/bf_analysis.h"
#include "support/log_capture.h"

namespace tessel::passgate::testing {

struct RowSpec {
  std::string ip;
  std::string value;  // the value of the marked zone
  int flood_detect = 0;
  std::string zone = "body";  // zone_detect, and the field that holds the value
  std::int64_t timestamp = 0;
  std::string vhost = "example.com";
  std::string url = "/login";
  std::string cc;
  std::string jbody;
};

inline RequestRecord bf_row(const RowSpec& s) {
  static int seq = 0;
  RequestRecord r;
  ++seq;
  char id[33];
  std::snprintf(id, sizeof id, "%032x", seq);
  r.id = id;
  r.timestamp = s.timestamp;
  r.request_id = "req-" + std::to_string(seq);
  r.ip = s.ip;
  r.vhost = s.vhost;
  r.method = "POST";
  r.url = s.url;
  r.cc = s.cc;
  r.jbody = s.jbody;
  r.mz = "BODY";
  if (s.zone == "body")
    r.body = s.value;
  else if (s.zone == "args")
    r.args = s.value;
  else if (s.zone == "url")
    r.url = s.value.empty() ? s.url : s.value;
  else if (s.zone == "cookie")
    r.cookie = s.value;
  r.extras["flood_detect"] = s.flood_detect;
  r.extras["zone_detect"] = s.zone;
  return r;
}

// `n` rows of one address: distinct values "v0".."v{n-1}" or all "same".
inline void add_rows(RequestTable& t, const std::string& ip, int n, bool distinct, int flood_detect = 0,
                     const std::string& zone = "body") {
  for (int i = 0; i < n; ++i) {
    RowSpec s{ip, distinct ? "v" + std::to_string(i) : "same", flood_detect, zone};
    t.push_back(bf_row(s));
  }
}

// A worker environment whose services answer from tables and record what
// they are given.
struct BfHarness {
  tessel::testing::LogCapture logs;
  std::map<std::string, Json> geo;       // address -> record; absent: {"cc": ""}
  std::vector<std::string> missing_geo;  // addresses the look-up knows nothing of
  std::vector<std::string> looked_up;
  std::vector<std::pair<Json, int>> published;
  std::int64_t look_up_seconds = 0;
  std::int64_t clock = 1000;
  BfWorkerEnv env;

  BfHarness() {
    env.ctx.sink = logs.sink();
    env.ctx.queues.q_ec = logs.q_ec_ptr;
    env.ctx.endpoints.set_attack_url = "http://127.0.0.1:1/vx-api/attack";
    env.services.get_geoip = [this](const Json& addrs) {
      Json out = Json::object();
      for (const auto& a : addrs) {
        const std::string ip = a.get<std::string>();
        looked_up.push_back(ip);
        clock += look_up_seconds;
        bool missing = false;
        for (const auto& m : missing_geo) missing = missing || m == ip;
        if (missing) continue;
        auto it = geo.find(ip);
        out[ip] = it == geo.end() ? Json{{"cc", ""}} : it->second;
      }
      return out;
    };
    env.services.publish = [this](const Json& rows, int kind) { published.emplace_back(rows, kind); };
    env.services.now = [this] { return clock; };
  }

  std::vector<AttackReport> reports() { return env.ctx.queues.q_attack_bd->drain(); }
  std::vector<std::vector<AadEntry>> aad() { return env.ctx.queues.q_aad->drain(); }
};

}  // namespace tessel::passgate::testing
