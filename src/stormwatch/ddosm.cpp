#include "stormwatch/ddosm.h"

#include <utility>

#include "core/log.h"

namespace tessel::stormwatch {

DDoSM::DDoSM(core::DetectorContext ctx) : ctx_(std::move(ctx)) {
  core::log_processing(ctx_.sink, "info", "ddos", "DDoS attack detection module is running");
}

// Window analysis is not built yet: the requests are dropped.
void DDoSM::dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable) {}

}  // namespace tessel::stormwatch
