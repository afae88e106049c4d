#pragma once
// The values every part of one service run works with, built once at
// start-up: logging, the management-API call context and addresses, the
// run's paths, the brokers, the identity of the instance, the reference
// data and the queues. Workers and detector hosts get a copy.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <memory>
#include <string>

#include "core/data/refdata.h"
#include "core/net/api_context.h"
#include "core/net/endpoints.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/paths.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::core {

struct RunContext {
  LogSink sink;  // q_ec, the logger "MAIN", [main] debug
  ApiContext api;
  ApiEndpoints endpoints;
  DatasetUrls dataset_urls;
  Paths paths;
  RmqParamList rmq_rc_param_list;       // the brokers
  std::string tessel_rmq_q = "tessel";  // the service's own broker queue name
  std::string uuid;                     // instance id
  std::string ip;                       // host address
  std::string geo_token;                // GeoIP service token
  std::shared_ptr<const GeoReference> geo;
  ProcessQueues queues;  // queues.q_ec is sink.q_ec
};

// What the detector hosts (classification, DDoS, brute force, schema
// generation) are built with: the run's values; their reports leave by
// queues.q_attack_bd and queues.q_aad (DDoS, brute force) or
// queues.q_attack_api and queues.q_mt_api (classification), and by the
// brokers.
using DetectorContext = RunContext;

}  // namespace tessel::core
