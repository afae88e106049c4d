#pragma once
// WAF request messages and an in-memory log for the intake tests.
#include <memory>
#include <string>
#include <vector>

#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::testing {

struct WafRequest {
  std::string request_id = "r-1";
  std::string vhost = "shop.example";
  std::string ip = "192.0.2.10";
  std::string method = "POST";
  std::string url = "/Login.php?next=/home";
  std::string args = "user=alice&lang=en";
  std::string cookie = "sid=abc; theme=dark";
  std::string ua = "Mozilla/5.0 (X11)";
  std::string referer = "https://shop.example/start";
  std::string other_headers = "Host: shop.example\r\nContent-Type: application/x-www-form-urlencoded";
  std::string body = "user=alice&pass=secret";
};

// The message as the WAF publishes it: zones in base64.
inline Json waf_message(const WafRequest& w = {}) {
  Json m = Json::object();
  m["request_id"] = w.request_id;
  m["vhost"] = w.vhost;
  m["ip"] = w.ip;
  m["lm"] = "learning";
  m["blocked"] = 0;
  m["mz"] = "";
  m["timestamp"] = 1700000000;
  m["method"] = w.method;
  m["status_code"] = 200;
  m["port"] = 443;
  m["url"] = base64_encode(w.url);
  m["args"] = base64_encode(w.args);
  m["cookie"] = base64_encode(w.cookie);
  m["ua"] = base64_encode(w.ua);
  m["referer"] = base64_encode(w.referer);
  m["other_headers"] = base64_encode(w.other_headers);
  m["body"] = base64_encode(w.body);
  return m;
}

// The attributes of nsi that intake reads, with their start-up values.
inline std::shared_ptr<SharedNamespace> intake_nsi(const std::string& spool_dir, const std::string& b64wl_db = "") {
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("rmq_vexa_dir", Json(spool_dir));
  nsi->set("tessel_b64wl_db", Json(b64wl_db));
  for (const char* name : {"schemix_vhosts_list", "bf_wl_ip_list", "bf_wl_host_list", "ddos_wl_ip_list",
                           "ddos_wl_url_list", "bf_dfs_schema", "brute_dfs_schema", "flood_dfs_schema"}) {
    nsi->set(name, Json::array());
  }
  return nsi;
}

// Log texts put on q_ec, as "level category text".
inline std::vector<std::string> event_lines(EventQueue& q_ec) {
  std::vector<std::string> out;
  for (auto& ev : q_ec.drain()) {
    if (ev.is_object() && ev.contains("level")) {
      out.push_back(ev["level"].get<std::string>() + " " + ev["category"].get<std::string>() + " " +
                    ev["message"].get<std::string>());
    }
  }
  return out;
}

}  // namespace tessel::testing
