#pragma once
// The window worker of DDoS and web-scraping detection.
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/workers/windows.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/clock.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::stormwatch {

// The DDoS host's rolling table: requests by `id`, windows on `timestamp`.
struct RequestTraits {
  using Key = std::string_view;
  using Hash = std::hash<std::string_view>;
  static Key key(const RequestRecord& r) { return r.id; }
  static std::int64_t timestamp(const RequestRecord& r) { return r.timestamp; }
};
using RequestWindow = core::Window<RequestRecord>;

// The country history of the recent requests, counted per host: rows and
// rows per country code (the empty code too).
struct HostCountries {
  std::size_t rows = 0;
  std::unordered_map<std::string, std::size_t> cc;
};
using CountryCounts = std::unordered_map<std::string, HostCountries>;

// The text a host or address value is grouped and counted by: a text value
// itself, anything else its JSON form behind a marker no text starts with.
std::string value_key(const Json& v);

// What the worker asks and where its reports go. Empty functions are not
// allowed.
struct DDoSServices {
  // get_geoip of core: a mapping from each address of the list to its
  // reputation entry.
  std::function<Json(const Json& addrs)> get_geoip;
  // get_geobl of core: the block lists that list the address.
  std::function<Json(const std::string& addr)> get_geobl;
  // rmq_bt_processing of core: publishes confirmed rows on the brokers.
  std::function<void(const RequestTable& rows, int attack_kind)> rmq_bt_processing;
};

// What the host hands every worker.
struct DDoSWorkerEnv {
  std::string set_attack_url;
  std::shared_ptr<AttackQueue> q_attack_bd;
  std::shared_ptr<AadQueue> q_aad;
  DDoSServices services;
  LogSink sink;
  ClockPtr clock;
};

// Analyses one window host by host and address by address: web scraping
// (more than 20 replies 404) and DDoS (identical requests to one URL), with
// the reports of each host handed over at its end. Addresses with more than
// 3 requests of the host in the window are examined. Logs its failures and
// never throws; stops between addresses when `stop` is requested, handing
// over the reports of the host at hand.
void ddos_detection(const RequestWindow& idfs, const CountryCounts& rccdfs, std::int64_t interval, bool latest_only,
                    bool send_possible, const DDoSWorkerEnv& env, const std::stop_token& stop = {});

}  // namespace tessel::stormwatch
