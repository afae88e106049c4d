#include "core/net/broker_publish.h"
#include "orvik/classify/processing.h"

namespace tessel::orvik {

ClassifyServices ClassifyServices::real() {
  ClassifyServices s;
  s.rmq_bt_processing = [](const Json& rows, int attack_kind, const RmqParamList& rmq_rc_param_list,
                           const std::string& tessel_rmq_q, const LogSink& sink) {
    return core::rmq_bt_processing(rows, attack_kind, rmq_rc_param_list, tessel_rmq_q, sink);
  };
  return s;
}

}  // namespace tessel::orvik
