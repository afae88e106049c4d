#include "core/workers/router.h"

#include "core/data/iplist.h"
#include "core/log.h"
#include "core/data/schemas.h"

namespace tessel::core {

void vexa_data_processing(RequestTable dfs, LocalQueue& q_local, bool ddos_en, bool bf_en,
                          const std::vector<std::string>& /*mlvh_list*/, const Json& schemix_vhosts_list,
                          const Json& bf_wl_ip_list, const Json& bf_wl_host_list, const Json& ddos_wl_ip_list,
                          const Json& ddos_wl_url_list, const Json& bf_dfs_schema, const Json& brute_dfs_schema,
                          const Json& flood_dfs_schema, const LogSink& sink) {
  try {
    if (dfs.empty()) return;
    LocalBatch batch;
    if (ddos_en) {
      const IpList wl_ip(ddos_wl_ip_list);
      std::vector<std::string> wl_url;
      if (ddos_wl_url_list.is_array()) {
        for (const auto& u : ddos_wl_url_list)
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
    if (bf_en) {
      const BfMatcher matcher(bf_dfs_schema, brute_dfs_schema, flood_dfs_schema, bf_wl_ip_list, bf_wl_host_list);
      for (const auto& r : dfs) matcher.append_rows(r, batch.bf_table);
    }
    batch.schemix = schemix_vhosts_list.is_array() && !schemix_vhosts_list.empty();
    batch.table = std::move(dfs);
    if (sink.debug) {
      log_processing(sink, "debug", "dyn",
                     std::to_string(batch.table.size()) + " request(s) routed: " +
                         std::to_string(batch.ddos_rows.size()) + " to DDoS, " +
                         std::to_string(batch.bf_table.size()) + " to BF detection");
    }
    q_local.put(std::move(batch));
  } catch (const std::exception& e) {
    log_processing(sink, "error", "dyn", std::string("An error occurred in vexa_data_processing: ") + e.what());
  }
}

}  // namespace tessel::core
