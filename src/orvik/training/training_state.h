#pragma once
// The training state of a protected host at the management API.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
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

// Reports the host's state as the JSON body {"key", "vhost", "complete"}
// with "Content-Type: application/json" to `set_training_url`. True when
// the management API answers "status": "success". Never throws for a
// failed request.
bool set_training_status(const std::string& set_training_url, const std::string& vhost, bool is_complete,
                         const core::ApiContext& api, const LogSink& sink);

// Reports the host's training progress (percent) as the form fields "key",
// "vhost" and "progress". The reply is only logged. Never throws for a
// failed request.
void set_training_progress_status(const std::string& set_training_progress_url, const std::string& vhost,
                                  std::int64_t progress, const core::ApiContext& api, const LogSink& sink);

}  // namespace tessel::orvik
