#pragma once
// The data router between request intake and the detectors.
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"

namespace tessel::core {

// The lists the router reads, as the shared namespace holds them.
struct RouterLists {
  Json schemix_vhosts_list;
  Json bf_wl_ip_list;
  Json bf_wl_host_list;
  Json ddos_wl_ip_list;
  Json ddos_wl_url_list;
  Json bf_dfs_schema;
  Json brute_dfs_schema;
  Json flood_dfs_schema;
};

// Takes over one request table and puts it on q_local as one LocalBatch:
// the whole table, the rows for DDoS detection when `detectors.ddos`
// (without the addresses of ddos_wl_ip_list and the URLs that an entry of
// ddos_wl_url_list matches, "*" standing for any run of characters), the
// brute-force and flood candidate rows of the three schemas when
// `detectors.bf` (without white-listed addresses and hosts), and whether
// schema generation has patterns. Failures are logged; never throws.
void vexa_data_processing(RequestTable dfs, LocalQueue& q_local, DetectorSwitches detectors,
                          const std::vector<std::string>& mlvh_list, const RouterLists& lists, const LogSink& sink);

}  // namespace tessel::core
