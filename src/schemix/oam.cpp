#include "schemix/oam.h"

#include <utility>

namespace tessel::schemix {

OAM::OAM(int oa_loop_int, core::DetectorContext ctx) : loop_int_(oa_loop_int), ctx_(std::move(ctx)) {}

// Schema generation is not built yet: the requests are dropped.
void OAM::dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable) {}

}  // namespace tessel::schemix
