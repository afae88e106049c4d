#include "core/net/broker_publish.h"
#include "core/log.h"
#include "core/data/spool.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

ChildEntries vexa_data_preprocessing(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, RequestMessages udata,
                                     RequestMessages rdata, ChildEntries processes,
                                     std::shared_ptr<LocalQueue> q_local, bool ddos_en, bool bf_en,
                                     const std::vector<std::string>& mlvh_list, const std::string& rmq_rhost,
                                     const std::string& tessel_rmq_q, const RmqParamList& rmq_rc_param_list,
                                     const LogSink& sink) {
  // Held outside the children so that a batch whose child cannot be
  // started is still here.
  auto unlock = std::make_shared<RequestMessages>(std::move(udata));
  auto batch = std::make_shared<RequestMessages>(std::move(rdata));
  try {
    if (!unlock->empty()) {
      auto child = Child::start("VUDNP", [unlock, rmq_rhost, tessel_rmq_q, rmq_rc_param_list, sink] {
        core::dyn_unlock_processing(std::move(*unlock), rmq_rhost, tessel_rmq_q, rmq_rc_param_list, sink);
      });
      processes.push_back({unix_now(), child});
      if (sink.debug) core::log_processing(sink, "debug", "os", "VUDNP is running (PID: " + std::to_string(child->pid()) + ")");
    }
    if (!batch->empty()) {
      // Under overload the batch waits in the spool; one that cannot be
      // stored there (logged) goes to a normaliser instead of being lost.
      if (nsg.overload() &&
          core::rmq_vexa_data_save(*batch, nsi->get<Json>("rmq_vexa_dir").get<std::string>(), sink)) {
        return processes;
      }
      auto child = Child::start("VRDNP", [nsi, batch, q_local, ddos_en, bf_en, mlvh_list, sink] {
        vexa_data_normalization(nsi, std::move(*batch), q_local, ddos_en, bf_en, mlvh_list, sink);
      });
      batch.reset();
      processes.push_back({unix_now(), child});
      if (sink.debug) core::log_processing(sink, "debug", "os", "VRDNP is running (PID: " + std::to_string(child->pid()) + ")");
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", std::string("An error occurred in vexa_data_preprocessing: ") + e.what());
    // Request data that found no normaliser waits in the spool for the
    // supervisor instead of being lost.
    if (batch && !batch->empty()) {
      try {
        core::rmq_vexa_data_save(*batch, nsi->get<Json>("rmq_vexa_dir").get<std::string>(), sink);
      } catch (const std::exception& e2) {
        core::log_processing(sink, "error", "os",
                             std::string("An error occurred in vexa_data_preprocessing: ") + e2.what());
      }
    }
  }
  return processes;
}

}  // namespace tessel::ingestor
