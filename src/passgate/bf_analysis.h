#pragma once
// The brute-force and flood worker: one window of candidate rows, grouped by
// virtual host and target, analysed per zone and client address.
//
// A window row carries the request record and, in its extras, flood_detect
// (0 brute-force candidate, 1 flood candidate) and zone_detect (the zones it
// was marked for, joined by ","); the value of a zone is the record field of
// that name (core::bf_detection_zone).
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/workers/run_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/request.h"

namespace tessel::passgate {

// The settings a worker runs with, read from nsi when its window was cut.
struct BfSettings {
  std::int64_t max_val = 10;   // bf_max_val: group gate and zone threshold
  bool latest_only = false;    // bf_latest_only: report only an address's last row
  bool send_possible = false;  // bf_send_possible: possible detections reach q_attack_bd too
};

// The outside services a worker calls. The defaults (make_bf_services) ask
// core: get_geoip on the run's GeoIP data, rmq_bt_processing on the run's
// brokers, and the wall clock.
struct BfServices {
  // Reputation of [address]: a mapping from the address to its record.
  std::function<Json(const Json& addrs)> get_geoip;
  // Hands the rows (JSON objects) of confirmed detections to the brokers.
  std::function<void(const Json& rows, int attack_kind)> publish;
  // Current UNIX time, whole seconds.
  std::function<std::int64_t()> now;
};

BfServices make_bf_services(const core::DetectorContext& ctx);

// What every worker is handed besides its window: the run's values (queues
// q_attack_bd and q_aad, brokers, own queue name, "/attack" address, GeoIP
// token, proxies, headers, logging pair) and the services.
struct BfWorkerEnv {
  core::DetectorContext ctx;
  BfServices services;
};

// The worker of one window (rows in table order). Never throws; a failure
// ends the window with the info line "An error occurred in bf_detection: {}".
// A stop request ends it between two targets.
void bf_detection(const std::vector<const RequestRecord*>& df, const BfSettings& settings, const BfWorkerEnv& env,
                  const std::stop_token& stop = {});
void bf_detection(const RequestTable& df, const BfSettings& settings, const BfWorkerEnv& env);

// The analysis of one virtual host and target: `udf` holds its rows of one
// kind (flood_detect false: brute force, true: flood). Reports confirmed and
// possible detections; the hand-overs (brokers, q_attack_bd, q_aad) come
// after the last zone, each at most once. Never throws.
void bf_analysis(const RequestTable& udf, bool flood_detect, const Json& vhost, const std::string& url,
                 const BfSettings& settings, const BfWorkerEnv& env);

// Record columns that reported rows do not carry: the brokers' rows, and the
// rows of the attack report (which carry a non-empty jbody as their body).
const std::vector<std::string>& bf_rmq_dropped_columns();
const std::vector<std::string>& bf_api_dropped_columns();

}  // namespace tessel::passgate
