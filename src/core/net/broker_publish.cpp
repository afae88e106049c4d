#include "core/net/broker_publish.h"

#include "core/base/log.h"
#include "core/net/amqp.h"

namespace tessel::core {

namespace {

// Publishes the bodies on one broker; the declare at the end makes sure the
// broker has routed everything published before it.
void publish_all(const RmqConnectionParam& broker, const std::string& queue, const std::vector<std::string>& bodies) {
  auto connection = AmqpConnection::open(broker.url);
  auto channel = connection->channel();
  channel->queue_declare(queue);
  for (const auto& body : bodies) channel->publish("", queue, body);
  channel->queue_declare(queue);
  rmq_channel_close(channel.get());
  rmq_connection_close(connection.get());
}

bool publish_everywhere(const std::vector<std::string>& bodies, const RmqParamList& brokers, const std::string& queue,
                        const LogSink& sink) {
  bool ok = true;
  for (const auto& broker : brokers) {
    try {
      publish_all(broker, queue, bodies);
    } catch (const std::exception& e) {
      ok = false;
      log_processing(
          sink, "error", "rabbitmq",
          "An error occurred while sending data to RabbitMQ " + queue + " queue (" + broker.host + "): " + e.what());
    }
  }
  return ok;
}

std::string dump(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

bool rmq_bt_processing(const Json& rows, int attack_kind, const RmqParamList& rmq_rc_param_list,
                       const std::string& tessel_rmq_q, const LogSink& sink) {
  try {
    if (!rows.is_array()) throw std::invalid_argument("the rows are not a list");
    std::vector<std::string> bodies;
    for (std::size_t i = 0; i < rows.size(); i += kRowsPerMessage) {
      Json msg = Json::object();
      msg["type"] = "attack";
      msg["attack_kind"] = attack_kind;
      Json part = Json::array();
      for (std::size_t j = i; j < rows.size() && j < i + kRowsPerMessage; ++j) part.push_back(rows[j]);
      msg["rows"] = std::move(part);
      bodies.push_back(dump(msg));
    }
    if (bodies.empty()) return true;
    return publish_everywhere(bodies, rmq_rc_param_list, tessel_rmq_q, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "rabbitmq", std::string("An error occurred in rmq_bt_processing: ") + e.what());
    return false;
  }
}

bool rmq_bt_processing(const RequestTable& table, int attack_kind, const RmqParamList& rmq_rc_param_list,
                       const std::string& tessel_rmq_q, const LogSink& sink) {
  try {
    return rmq_bt_processing(table_to_json(table), attack_kind, rmq_rc_param_list, tessel_rmq_q, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "rabbitmq", std::string("An error occurred in rmq_bt_processing: ") + e.what());
    return false;
  }
}

void dyn_unlock_processing(std::vector<Json> udata, const std::string& rmq_rhost, const std::string& tessel_rmq_q,
                           const RmqParamList& rmq_rc_param_list, const LogSink& sink) {
  try {
    static const char* const kFields[] = {"request_id", "request_type", "ip", "vhost", "timestamp"};
    std::vector<std::string> bodies;
    for (std::size_t i = 0; i < udata.size(); i += kRowsPerMessage) {
      Json requests = Json::array();
      for (std::size_t j = i; j < udata.size() && j < i + kRowsPerMessage; ++j) {
        Json r = Json::object();
        if (udata[j].is_object()) {
          for (const char* f : kFields) {
            auto it = udata[j].find(f);
            if (it != udata[j].end()) r[f] = *it;
          }
        }
        requests.push_back(std::move(r));
      }
      Json msg = Json::object();
      msg["type"] = "unlock";
      msg["origin"] = rmq_rhost;
      msg["requests"] = std::move(requests);
      bodies.push_back(dump(msg));
    }
    if (bodies.empty() || rmq_rc_param_list.empty()) return;
    const bool ok = publish_everywhere(bodies, rmq_rc_param_list, tessel_rmq_q, sink);
    if (sink.debug && ok) {
      log_processing(sink, "debug", "rabbitmq",
                     std::to_string(udata.size()) + " unlock request(s) from " + rmq_rhost + " sent to RabbitMQ " +
                         tessel_rmq_q + " queue");
    }
  } catch (const std::exception& e) {
    log_processing(sink, "error", "rabbitmq", std::string("An error occurred in dyn_unlock_processing: ") + e.what());
  }
}

}  // namespace tessel::core
