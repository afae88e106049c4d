#include "passgate/bfm.h"

#include <utility>

#include "core/log.h"

namespace tessel::passgate {

BFM::BFM(core::DetectorContext ctx) : ctx_(std::move(ctx)) {
  core::log_processing(ctx_.sink, "info", "bf", "BF attack detection module is running");
}

// Window analysis is not built yet: the requests are dropped.
void BFM::dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable) {}

}  // namespace tessel::passgate
