#pragma once
// The data router between request intake and the detectors.
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"

namespace tessel::core {

// Takes over one request table and puts it on q_local as one LocalBatch:
// the whole table, the rows for DDoS detection when `ddos_en` (without the
// addresses of ddos_wl_ip_list and the URLs that an entry of
// ddos_wl_url_list matches, "*" standing for any run of characters), the
// brute-force and flood candidate rows of the three schemas when `bf_en`
// (without white-listed addresses and hosts), and whether schema generation
// has patterns. Failures are logged; never throws.
void vexa_data_processing(RequestTable dfs, LocalQueue& q_local, bool ddos_en, bool bf_en,
                          const std::vector<std::string>& mlvh_list, const Json& schemix_vhosts_list,
                          const Json& bf_wl_ip_list, const Json& bf_wl_host_list, const Json& ddos_wl_ip_list,
                          const Json& ddos_wl_url_list, const Json& bf_dfs_schema, const Json& brute_dfs_schema,
                          const Json& flood_dfs_schema, const LogSink& sink);

}  // namespace tessel::core
