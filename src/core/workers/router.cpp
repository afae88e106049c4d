#include "core/workers/router.h"

#include "core/base/log.h"
#include "core/data/iplist.h"
#include "core/data/schemas.h"

namespace tessel::core {

void vexa_data_processing(RequestTable dfs, LocalQueue& q_local, DetectorSwitches detectors,
                          const std::vector<std::string>& /*mlvh_list*/, const RouterLists& lists,
                          const LogSink& sink) {
  try {
    if (dfs.empty()) return;
    LocalBatch batch;
    if (detectors.ddos) {
      const IpList wl_ip(lists.ddos_wl_ip_list);
      std::vector<std::string> wl_url;
      if (lists.ddos_wl_url_list.is_array()) {
        for (const auto& u : lists.ddos_wl_url_list)
          if (u.is_string()) wl_url.push_back(u.get<std::string>());
      }
      batch.ddos_rows.reserve(dfs.size());
      for (std::size_t i = 0; i < dfs.size(); ++i) {
        const RequestRecord& r = dfs[i];
        if (!wl_ip.empty() && r.ip.is_string() && wl_ip.contains(r.ip.get_ref<const std::string&>())) continue;
        bool listed = false;
        for (const auto& pattern : wl_url) {
          if (wildcard_match(pattern, r.url)) {
            listed = true;
            break;
          }
        }
        if (!listed) batch.ddos_rows.push_back(i);
      }
    }
    if (detectors.bf) {
      const BfMatcher matcher(lists.bf_dfs_schema, lists.brute_dfs_schema, lists.flood_dfs_schema, lists.bf_wl_ip_list,
                              lists.bf_wl_host_list);
      for (const auto& r : dfs) matcher.append_rows(r, batch.bf_table);
    }
    batch.schemix = lists.schemix_vhosts_list.is_array() && !lists.schemix_vhosts_list.empty();
    batch.table = std::move(dfs);
    if (sink.debug) {
      log_processing(sink, "debug", "dyn",
                     std::to_string(batch.table.size()) +
                         " request(s) routed: " + std::to_string(batch.ddos_rows.size()) + " to DDoS, " +
                         std::to_string(batch.bf_table.size()) + " to BF detection");
    }
    q_local.put(std::move(batch));
  } catch (const std::exception& e) {
    log_processing(sink, "error", "dyn", std::string("An error occurred in vexa_data_processing: ") + e.what());
  }
}

}  // namespace tessel::core
