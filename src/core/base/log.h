#pragma once
// The one logging call of the system: writes a record on the logger and puts
// an event on the event queue. It never throws.
#include <string_view>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// level: "info", "debug", "warn", "error" or "fatal". Debug lines are gated
// by the caller (`sink.debug`); a debug record reaches the log file whatever
// the logger's threshold. A sink without q_ec puts no event.
void log_processing(const LogSink& sink, std::string_view level, std::string_view category,
                    std::string_view text) noexcept;

// The event item that log_processing puts on q_ec.
Json make_event(std::string_view level, std::string_view category, std::string_view text);

}  // namespace tessel::core
