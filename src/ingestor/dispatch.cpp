#include "core/base/log.h"
#include "core/data/spool.h"
#include "core/net/broker_publish.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

ChildEntries vexa_data_preprocessing(Nsg& nsg, const std::shared_ptr<SharedNamespace>& nsi, RequestMessages udata,
                                     RequestBodies rdata, ChildEntries processes, const RouteTarget& route,
                                     const BrokerIntake& broker, const LogSink& sink) {
  // Held outside the children so that a batch whose child cannot be
  // started is still here.
  auto unlock = std::make_shared<RequestMessages>(std::move(udata));
  auto bodies = std::make_shared<RequestBodies>(std::move(rdata));
  // The request data as messages, once parsed for the spool.
  std::shared_ptr<RequestMessages> batch;
  try {
    if (!unlock->empty()) {
      auto child = Child::start("VUDNP", [unlock, broker, sink] {
        core::dyn_unlock_processing(std::move(*unlock), broker.rmq_rhost, broker.tessel_rmq_q, broker.rmq_rc_param_list,
                                    sink);
      });
      processes.push_back({unix_now(), child});
      if (sink.debug)
        core::log_processing(sink, "debug", "os", "VUDNP is running (PID: " + std::to_string(child->pid()) + ")");
    }
    if (!bodies->empty()) {
      // Under overload the batch waits in the spool; one that cannot be
      // stored there (logged) goes to a normaliser instead of being lost.
      if (nsg.overload()) {
        const std::string dir = nsi->get<Json>("rmq_vexa_dir").get<std::string>();
        batch = std::make_shared<RequestMessages>(parse_request_bodies(*bodies, sink));
        bodies.reset();
        if (batch->empty() || core::rmq_vexa_data_save(*batch, dir, sink)) return processes;
      }
      ChildPtr child;
      if (batch) {
        child = Child::start(
            "VRDNP", [nsi, batch, route, sink] { vexa_data_normalization(nsi, std::move(*batch), route, sink); });
      } else {
        child = Child::start(
            "VRDNP", [nsi, bodies, route, sink] { normalise_request_bodies(nsi, std::move(*bodies), route, sink); });
      }
      batch.reset();
      bodies.reset();
      processes.push_back({unix_now(), child});
      if (sink.debug)
        core::log_processing(sink, "debug", "os", "VRDNP is running (PID: " + std::to_string(child->pid()) + ")");
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", std::string("An error occurred in vexa_data_preprocessing: ") + e.what());
    // Request data that found no normaliser waits in the spool for the
    // supervisor instead of being lost.
    try {
      if (bodies && !bodies->empty()) batch = std::make_shared<RequestMessages>(parse_request_bodies(*bodies, sink));
      if (batch && !batch->empty()) {
        core::rmq_vexa_data_save(*batch, nsi->get<Json>("rmq_vexa_dir").get<std::string>(), sink);
      }
    } catch (const std::exception& e2) {
      core::log_processing(sink, "error", "os",
                           std::string("An error occurred in vexa_data_preprocessing: ") + e2.what());
    }
  }
  return processes;
}

}  // namespace tessel::ingestor
