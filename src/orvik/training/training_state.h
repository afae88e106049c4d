#pragma once
// The training state of a protected host at the management API.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "shared/pyvalues/json.h"
#include "core/net/api_context.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// (complete, days): whether the management API counts the host's training
// as complete, and its training period in days as received. No state for
// the host, or any failure (logged), gives (none,
// training_period_days_default). Posts the form fields "key" (of `api`) and "vhost"
// to `url`. Never throws for a failed request.
std::pair<std::optional<bool>, Json> get_training_status(const std::string& url, const std::string& vhost,
                                                         std::int64_t training_period_days_default,
                                                         const core::ApiContext& api, const LogSink& sink);

}  // namespace tessel::orvik
