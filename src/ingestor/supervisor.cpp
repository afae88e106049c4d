#include <thread>

#include "core/base/log.h"
#include "core/data/spool.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

void dyn_queue_consumer(Nsg& nsg, const std::shared_ptr<SharedNamespace>& nsi, const ConsumerArgs& args,
                        const LogSink& sink, const IntakeOptions& opts) {
  const std::string& rmq_rhost = args.broker.rmq_rhost;
  core::log_processing(sink, "info", "rabbitmq", "RabbitMQ consumer is running (" + rmq_rhost + ")");
  try {
    const std::string pprfx = "sVDNP";
    ChildEntries processes;
    std::int64_t pttl = opts.clock() + opts.housekeeping_period;
    auto consumer =
        Child::start("rmq_vexa_receiver", [&nsg, nsi, broker = args.broker, route = args.route, sink, opts] {
          rmq_vexa_receiver(nsg, nsi, broker, route, sink, opts);
        });
    if (sink.debug) {
      core::log_processing(sink, "debug", "os",
                           "rmq_vexa_receiver is running (PID: " + std::to_string(consumer->pid()) + ")");
    }
    for (;;) {
      try {
        if (nsg.restart_signal()) {
          std::this_thread::sleep_for(opts.restart_wait);
          return;
        }
        rmq_log_api_stats_receiver(nsg, rmq_rhost, args.broker.rmq_rconnection_param, *args.q_stats, *args.q_api, sink,
                                   opts);
        while (!nsg.overload()) {
          auto batch = core::rmq_vexa_data_load(nsi->get<Json>("rmq_vexa_dir").get<std::string>(), sink);
          if (!batch || batch->data.empty()) {
            if (batch) core::rmq_vexa_data_done(*batch, sink);
            break;
          }
          auto data = std::make_shared<RequestMessages>(std::move(batch->data));
          ChildPtr child;
          try {
            child = Child::start(pprfx, [nsi, data, route = args.route, sink] {
              vexa_data_normalization(nsi, std::move(*data), route, sink);
            });
          } catch (...) {
            // Not started: the batch stays in the spool for a later cycle.
            core::rmq_vexa_data_putback(*batch, sink);
            throw;
          }
          core::rmq_vexa_data_done(*batch, sink);
          processes.push_back({opts.clock(), child});
          if (sink.debug) {
            core::log_processing(sink, "debug", "os",
                                 pprfx + " is running (PID: " + std::to_string(child->pid()) + ")");
          }
        }
        auto [kept, next_pttl] = processes_control(pprfx, std::move(processes), pttl, sink, opts);
        processes = std::move(kept);
        pttl = next_pttl;
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "rabbitmq",
                             "An error occurred while receiving data from " + rmq_rhost + ": " + e.what());
      }
      std::this_thread::sleep_for(opts.cycle_pause);
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "rabbitmq",
                         std::string("An error occurred in dyn_queue_consumer: ") + e.what());
  }
}

}  // namespace tessel::ingestor
