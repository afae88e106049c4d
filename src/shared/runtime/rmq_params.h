#pragma once
// The broker connections of the service: one entry per configured broker,
// built once at start-up and handed to every part that talks to the brokers.
#include <string>
#include <vector>

namespace tessel {

struct RmqConnectionParam {
  std::string url;   // AMQP URL: amqp[s]://credentials@host/vhost?blocked_connection_timeout=30
  std::string host;  // the broker host as it stands in the URL
  bool operator==(const RmqConnectionParam&) const = default;
};

using RmqParamList = std::vector<RmqConnectionParam>;

}  // namespace tessel
