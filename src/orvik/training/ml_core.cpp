#include "orvik/training/ml_core.h"

#include "core/log.h"

namespace tessel::orvik {

// The training cycle is not built yet: the process announces itself and ends.
void ml_core(const MlCoreArgs& a) {
  core::log_processing(a.run.sink, "info", "ml", "ML core module is running (" + a.ml_vhost + ")");
}

}  // namespace tessel::orvik
