#pragma once
// Models held by the management API, received at start-up and while the
// service runs.
#include <string>

#include "core/net/api_context.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// Asks the management API for models and applies the answer to
// `models_dir`; true when local model files were removed or extracted.
// Never throws.
bool tessel_models_receiver(bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                            const core::ApiContext& api, const LogSink& sink);

}  // namespace tessel::orvik
