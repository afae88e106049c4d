#include <algorithm>
#include <thread>

#include "core/base/log.h"
#include "core/net/amqp.h"
#include "core/workers/overload.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

namespace {

// Sorts one consumed body into the chunk. Challenge-page traffic is parsed
// here and goes to the unlock data (or is dropped); every other body stays
// as received, to be parsed by its normaliser (or for the spool).
void sort_body(std::string_view body, bool use_dyn_unlock, RequestMessages& udata, RequestBodies& rdata,
               const LogSink& sink) {
  if (!may_be_unlock_request(body)) {
    rdata.add(body);
    return;
  }
  auto parsed = parse_request_body(body, sink);
  if (!parsed) return;
  if (!is_unlock_request(*parsed)) {
    rdata.add(body);
  } else if (use_dyn_unlock) {
    udata.push_back(std::move(*parsed));
  }
}

}  // namespace

void rmq_vexa_receiver(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const BrokerIntake& broker,
                       const RouteTarget& route, const LogSink& sink, const IntakeOptions& opts) {
  const std::string& rmq_rhost = broker.rmq_rhost;
  const std::string& rmq_rconnection_param = broker.rmq_rconnection_param;
  const bool use_dyn_unlock = broker.use_dyn_unlock;
  ChildEntries processes;
  std::int64_t pttl = opts.clock() + opts.housekeeping_period;
  const std::string rmq_q = "vexa";

  auto hand_over = [&](RequestMessages& udata, RequestBodies& rdata) {
    processes = vexa_data_preprocessing(nsg, nsi, std::move(udata), std::move(rdata), std::move(processes), route,
                                        broker, sink);
    udata = RequestMessages();
    rdata = RequestBodies();
  };

  for (;;) {
    try {
      std::size_t cnt = 0;
      std::int64_t hwts = opts.clock();

      if (nsg.restart_signal()) return;
      core::is_hw_overload(nsg);

      auto connection = core::AmqpConnection::open(rmq_rconnection_param);
      auto channel = connection->channel();
      std::int64_t rmq_msg_cnt = channel->queue_declare(rmq_q);

      RequestMessages udata;
      RequestBodies rdata;
      // Delivery tags (consecutive on the pass's channel) of the last
      // message in memory and of the last one acknowledged.
      std::uint64_t kept = 0;
      std::uint64_t acked = 0;
      if (rmq_msg_cnt != 0) {
        // The broker delivers at most `prefetch` messages beyond those
        // acknowledged. With no more in flight than the pass expects, and
        // the last `prefetch` messages acknowledged together once the
        // consumer is cancelled, it never delivers more than the pass
        // declared, so a pass that takes all it expects hands nothing back.
        // Before those, the messages in memory are acknowledged in groups
        // of a quarter of the prefetch (one acknowledgement for each group),
        // the last group when exactly `prefetch` remain, so the broker is
        // never short of room for what the pass still expects.
        const auto prefetch =
            static_cast<std::uint16_t>(std::min<std::int64_t>(opts.prefetch == 0 ? 1 : opts.prefetch, rmq_msg_cnt));
        const std::uint64_t ack_group = std::max(1, prefetch / 4);
        try {
          channel->qos(prefetch);
          channel->consume(rmq_q);
          channel->set_read_pause(opts.read_pause);
          core::AmqpMessage msg;
          // A delivery that does not come within the wait ends the batch,
          // so the restart signal is always seen and nothing acknowledged
          // waits for messages that may never come.
          while (channel->next(msg, opts.delivery_wait)) {
            const std::int64_t cts = opts.clock();
            ++cnt;
            --rmq_msg_cnt;
            // The message is in memory before it is acknowledged.
            sort_body(msg.body, use_dyn_unlock, udata, rdata, sink);
            kept = msg.delivery_tag;
            if (rmq_msg_cnt >= prefetch && (rmq_msg_cnt == prefetch || kept - acked >= ack_group)) {
              channel->ack(kept, true);
              acked = kept;
            }
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
          core::log_processing(sink, "error", "rabbitmq",
                               "An error occurred while receiving data from RabbitMQ " + rmq_q + " queue (" +
                                   rmq_rhost + "): " + e.what());
          std::this_thread::sleep_for(opts.loop_failure_pause);
        }
      }
      if (!udata.empty() || !rdata.empty()) hand_over(udata, rdata);
      auto [kept_processes, next_pttl] = processes_control("VDNP", std::move(processes), pttl, sink, opts);
      processes = std::move(kept_processes);
      pttl = next_pttl;

      const std::size_t pending = channel->cancel();
      // What the pass holds unacknowledged; on a lost connection the broker
      // delivers it again.
      if (kept > acked) channel->ack(kept, true);
      if (pending > 0) {
        core::log_processing(sink, "error", "rabbitmq",
                             "An error occurred while processing messages from RabbitMQ " + rmq_q + " queue (" +
                                 rmq_rhost + "): " + std::to_string(pending) + " pending message(s)");
      }
      core::rmq_channel_close(channel.get());
      core::rmq_connection_close(connection.get());
      std::this_thread::sleep_for(opts.cycle_pause);
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): " + e.what());
      std::this_thread::sleep_for(opts.failed_pass_pause);
    } catch (...) {
      core::log_processing(sink, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): unknown error");
      std::this_thread::sleep_for(opts.failed_pass_pause);
    }
  }
}

}  // namespace tessel::ingestor
