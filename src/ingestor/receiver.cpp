#include <thread>

#include "core/amqp.h"
#include "core/log.h"
#include "core/overload.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

void rmq_vexa_receiver(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const std::string& rmq_rhost,
                       const std::string& tessel_rmq_q, const RmqParamList& rmq_rc_param_list,
                       const std::string& rmq_rconnection_param, bool use_dyn_unlock,
                       std::shared_ptr<LocalQueue> q_local, bool ddos_en, bool bf_en,
                       const std::vector<std::string>& mlvh_list, std::shared_ptr<EventQueue> q_ec, Logger& log,
                       bool debug, const IntakeOptions& opts) {
  ChildEntries processes;
  std::int64_t pttl = opts.clock() + opts.housekeeping_period;
  const std::string rmq_q = "vexa";

  auto hand_over = [&](RequestMessages& udata, RequestMessages& rdata) {
    processes = vexa_data_preprocessing(nsg, nsi, std::move(udata), std::move(rdata), std::move(processes), q_local,
                                        ddos_en, bf_en, mlvh_list, rmq_rhost, tessel_rmq_q, rmq_rc_param_list, q_ec,
                                        log, debug);
    udata = RequestMessages();
    rdata = RequestMessages();
  };

  for (;;) {
    try {
      std::size_t cnt = 0;
      RequestMessages udata;
      RequestMessages rdata;
      std::int64_t hwts = opts.clock();

      if (nsg.restart_signal()) return;
      core::is_hw_overload(nsg);

      auto connection = core::AmqpConnection::open(rmq_rconnection_param);
      auto channel = connection->channel();
      std::int64_t rmq_msg_cnt = channel->queue_declare(rmq_q);

      if (rmq_msg_cnt != 0) {
        try {
          channel->qos(opts.prefetch);
          channel->consume(rmq_q);
          core::AmqpMessage msg;
          // A delivery that does not come within the wait ends the batch,
          // so the restart signal is always seen and nothing acknowledged
          // waits for messages that may never come.
          while (channel->next(msg, opts.delivery_wait)) {
            const std::int64_t cts = opts.clock();
            ++cnt;
            --rmq_msg_cnt;
            try {
              Json parsed = parse_json_body(msg.body);
              if (!parsed.is_object()) throw std::invalid_argument("the message is not a JSON object");
              if (is_unlock_request(parsed)) {
                if (use_dyn_unlock) udata.push_back(std::move(parsed));
              } else {
                rdata.push_back(std::move(parsed));
              }
            } catch (const std::exception& e) {
              core::log_processing(*q_ec, log, "error", "dyn",
                                   std::string("An error occurred while processing JSON data from Corvane WAF: ") +
                                       e.what());
            }
            channel->ack(msg.delivery_tag);
            if (cnt > opts.data_lmt) {
              hand_over(udata, rdata);
              cnt = 0;
            }
            if (rmq_msg_cnt < 1) break;
            if (cts - hwts > 0) {
              hwts = cts;
              if (nsg.restart_signal()) break;
            }
          }
        } catch (const std::exception& e) {
          core::log_processing(*q_ec, log, "error", "rabbitmq",
                               "An error occurred while receiving data from RabbitMQ " + rmq_q + " queue (" +
                                   rmq_rhost + "): " + e.what());
          std::this_thread::sleep_for(opts.loop_failure_pause);
        }
      }

      if (!udata.empty() || !rdata.empty()) hand_over(udata, rdata);
      std::tie(processes, pttl) = processes_control("VDNP", std::move(processes), pttl, *q_ec, log, opts);

      const std::size_t pending = channel->cancel();
      if (pending > 0) {
        core::log_processing(*q_ec, log, "error", "rabbitmq",
                             "An error occurred while processing messages from RabbitMQ " + rmq_q + " queue (" +
                                 rmq_rhost + "): " + std::to_string(pending) + " pending message(s)");
      }
      core::rmq_channel_close(channel.get());
      core::rmq_connection_close(connection.get());
      std::this_thread::sleep_for(opts.cycle_pause);
    } catch (const std::exception& e) {
      core::log_processing(*q_ec, log, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): " + e.what());
      std::this_thread::sleep_for(opts.failed_pass_pause);
    } catch (...) {
      core::log_processing(*q_ec, log, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): unknown error");
      std::this_thread::sleep_for(opts.failed_pass_pause);
    }
  }
}

}  // namespace tessel::ingestor
