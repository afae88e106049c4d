#pragma once
// Messages from the service to the WAF over the brokers: detected attacks
// and the unlock of clients that passed a challenge page. Every broker of
// the list gets each message on the service's own queue (tessel_rmq_q);
// docs/broker-messages.md describes the bodies.
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::core {

// Rows of one detection, published in messages of at most this many rows.
inline constexpr std::size_t kRowsPerMessage = 1000;

// Publishes the rows (an array of row objects) of one detection of kind
// `attack_kind`. Failures are logged per broker and never thrown; true when
// every broker took every message.
bool rmq_bt_processing(const Json& rows, int attack_kind, const RmqParamList& rmq_rc_param_list,
                       const std::string& tessel_rmq_q, const LogSink& sink);
bool rmq_bt_processing(const RequestTable& table, int attack_kind, const RmqParamList& rmq_rc_param_list,
                       const std::string& tessel_rmq_q, const LogSink& sink);

// The unlock worker: tells every broker's WAF that the clients of these
// challenge-page requests passed the challenge. Never throws.
void dyn_unlock_processing(std::vector<Json> udata, const std::string& rmq_rhost, const std::string& tessel_rmq_q,
                           const RmqParamList& rmq_rc_param_list, const LogSink& sink);

}  // namespace tessel::core
