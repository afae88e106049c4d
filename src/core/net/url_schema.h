#pragma once
// Proxy addresses as the service's proxy options give them.
#include <string>

#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// The proxy URL for a proxy option's text: a text without a scheme
// ("host:3128", "user:pw@host:3128") gets "http://" in front; one with a
// scheme ("https://…", "socks5://…") is returned as it is. Never throws for
// a text; q_ec and log are the logging pair of the caller.
std::string add_url_schema(const std::string& text, const LogSink& sink);

}  // namespace tessel::core
