#include "schemix/oam.h"

namespace tessel::schemix {

OAM::OAM(int oa_loop_int, std::string set_schemix_schema_path_url, std::string key, Json api_proxy, Json headers,
         std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug)
    : loop_int_(oa_loop_int),
      set_schemix_schema_path_url_(std::move(set_schemix_schema_path_url)),
      key_(std::move(key)),
      api_proxy_(std::move(api_proxy)),
      headers_(std::move(headers)),
      q_ec_(std::move(q_ec)),
      log_(log),
      debug_(debug) {}

// Schema generation is not built yet: the requests are dropped.
void OAM::dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable) {}

}  // namespace tessel::schemix
