#pragma once
// What the detector hosts (classification, DDoS, brute force, schema
// generation) are built with: logging, the management-API context and
// addresses, the brokers and the queues their reports leave by.
#include <memory>
#include <string>

#include "core/data/refdata.h"
#include "core/net/api_context.h"
#include "core/net/endpoints.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::core {

struct DetectorContext {
  LogSink sink;
  ApiContext api;
  ApiEndpoints endpoints;
  RmqParamList rmq_rc_param_list;  // brokers the attack rows are published on
  std::string tessel_rmq_q;        // the service's own broker queue name
  std::string geo_token;           // GeoIP service token
  std::shared_ptr<const GeoReference> geo;  // address reputation look-ups
  std::shared_ptr<AadQueue> q_aad;
  std::shared_ptr<AttackQueue> q_attack_bd;   // DDoS and brute-force reports
  std::shared_ptr<AttackQueue> q_attack_api;  // classification reports for "/attack"
  std::shared_ptr<TableQueue> q_mt_api;       // classification attack tables
};

}  // namespace tessel::core
