#include "core/base/log.h"
#include "core/net/amqp.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

void rmq_log_api_stats_receiver(Nsg& nsg, const std::string& rmq_rhost, const std::string& rmq_rconnection_param,
                                EventQueue& q_stats, EventQueue& q_api, const LogSink& sink,
                                const IntakeOptions& opts) {
  for (const std::string queue : {"log", "api", "stats"}) {
    EventQueue& target = queue == "log" ? *sink.q_ec : queue == "api" ? q_api : q_stats;
    try {
      auto connection = core::AmqpConnection::open(rmq_rconnection_param);
      auto channel = connection->channel();
      channel->queue_declare(queue);
      std::size_t counter = 0;
      core::AmqpMessage msg;
      for (;;) {
        // The connection and channel close with their owners on the way out.
        if (nsg.restart_signal()) return;
        if (!channel->get(queue, msg)) break;
        try {
          Json value = parse_json_body(msg.body);
          if (!value.is_object() && !value.is_array()) {
            throw std::invalid_argument("the JSON value is not an object or an array");
          }
          target.put(std::move(value));
        } catch (const std::exception& e) {
          core::log_processing(sink, "error", "misc",
                               "An error occurred while processing data from RabbitMQ " + queue + " queue (" +
                                   rmq_rhost + "): " + e.what() + " (" + body_text(msg.body) + ")");
        }
        channel->ack(msg.delivery_tag);
        if (counter > opts.drain_limit) break;
        ++counter;
      }
      core::rmq_channel_close(channel.get());
      core::rmq_connection_close(connection.get());
    } catch (const std::exception& e) {
      core::log_processing(
          sink, "error", "rabbitmq",
          "An error occurred while interacting with RabbitMQ " + queue + " queue (" + rmq_rhost + "): " + e.what());
    }
  }
}

}  // namespace tessel::ingestor
