#pragma once
// The detector feeder of the main loop, its queue-size report and the
// GeoIP worker.
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/data/refdata.h"
#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/blocking_queue.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::core {

// Above this many waiting items a queue is reported with a warning.
inline constexpr std::size_t kQueueSizeWarning = 100000;

// Reports the size of one process queue: a debug line with `debug`, a
// warning while the queue holds more than kQueueSizeWarning items.
void mp_queue_size_report(std::size_t size, std::string_view name, const LogSink& sink);
template <class T>
void mp_queue_size(const BlockingQueue<T>& queue, std::string_view name, const LogSink& sink) {
  mp_queue_size_report(queue.qsize(), name, sink);
}

// The detectors the feeder hands tables to. A null one is left out, and so
// are DDoS and brute-force detection while switched off.
struct FeederDetectors {
  WindowDetectorPtr ddos;
  WindowDetectorPtr bf;
  MlDetectorPtr ml;
  WindowDetectorPtr oa;  // schema generation
  DetectorSwitches on;
};

// What the feeder reads besides its queues and passes on to the detectors.
struct FeederContext {
  std::shared_ptr<Nsg> nsg;
  std::shared_ptr<SharedNamespace> nsi;
  const LockMap& db_processing_lock;  // staging-file locks, for classification
  const GeoData& cc_data;             // countries of requests that came without one
  const LogSink& sink;
};

// Takes every batch waiting on q_local, fills the empty `cc` of each request
// from the country data, and hands each detector the requests that arrived
// since the last call as one table: DDoS detection the batches' DDoS rows,
// brute-force detection their brute-force and flood candidate rows,
// classification every request, schema generation the requests of the
// batches that have schema-generation patterns, with only the columns it
// reads (request_id, vhost, url, method, content-type, the JSON body or
// else the body, schema_name, "" when absent). Every detector that takes
// part is called on every call, also with an empty table. Addresses without
// a known country go to q_geoip. A detector's failure is logged and does not
// stop the others.
void local_queue_processing(const FeederContext& ctx, const FeederDetectors& detectors, LocalQueue& q_local,
                            EventQueue& q_geoip);

// The GeoIP worker: takes the address lists of q_geoip ({"ips": [...]}) and
// looks them up, so that the reputation data the detectors' workers read is
// loaded (and reloaded after a GeoIP update) outside the main loop. Runs
// until `stop`.
void geoip2memc(const std::shared_ptr<EventQueue>& q_geoip, const std::shared_ptr<const GeoReference>& geo,
                const std::string& geo_token, const ApiContext& api, const LogSink& sink, const std::stop_token& stop);

}  // namespace tessel::core
