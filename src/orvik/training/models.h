#pragma once
// Models held by the management API, received at start-up and while the
// service runs.
#include <string>

#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::orvik {

// Asks the management API for models and applies the answer to
// `models_dir`; true when local model files were removed or extracted.
// Never throws.
bool tessel_models_receiver(bool ai_extra, const std::string& models_dir, const std::string& key,
                            const std::string& get_models_url, const Json& api_proxy, const Json& headers,
                            EventQueue& q_ec, Logger& log, bool debug);

}  // namespace tessel::orvik
