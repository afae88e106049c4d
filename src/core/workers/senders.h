#pragma once
// The workers that carry attack reports, attack tables, events and
// statistics from the process queues to the management API.
//
// A delivery that fails because the management API cannot be reached (no
// connection, a time-out, a 5xx, 408 or 429 status) is kept and tried again
// after a pause, in order; what waits is bounded per endpoint, and items
// dropped past the bound are counted in the log. A reply with another status
// that does not start with "20", or a request that cannot be made, rejects
// the batch: it is dropped, and logged at most once per retry pause.
//
// The event-and-API sender's own lines go to the log only: a failure to
// deliver events is never queued as a further event.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "core/net/api_context.h"
#include "core/net/endpoints.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::core {

struct SenderOptions {
  std::chrono::milliseconds cycle{250};         // wait for new items when idle
  std::chrono::milliseconds retry_pause{5000};  // after a delivery that failed
  std::size_t max_pending = 100000;             // events, API objects, statistics waiting per endpoint
  std::size_t max_pending_tables = 1000;        // attack reports or tables waiting per endpoint
  std::size_t batch = 500;                      // events, API objects, statistics per request
};

// Items waiting for one endpoint. Not thread-safe: one worker owns it.
class Outbox {
 public:
  // Builds the request body of a batch of items.
  using BodyFn = std::function<Json(std::vector<Json> items)>;
  // Posts a body; returns normally on a 20x reply, throws DeliveryError.
  using PostFn = std::function<void(const std::string& url, const Json& body)>;

  Outbox(std::string what, std::string url, std::size_t batch, std::size_t capacity, BodyFn body);

  // Queues an item; past the capacity the oldest waiting item is dropped.
  void add(Json item);
  std::size_t pending() const { return items_.size() + (retry_body_ ? 1 : 0); }
  std::uint64_t dropped() const { return dropped_; }
  // Counts items dropped before they reached the box (logged as its own).
  void count_dropped(std::uint64_t n) { dropped_ += n; }

  // Sends waiting items in batches until all are sent, a delivery fails or
  // the retry pause after an earlier failure has not passed yet. Logs the
  // first failure of a run of failures, the recovery and, once per retry
  // pause, new drops and the rejected items.
  // At most `max_requests` deliveries are tried.
  void flush(const PostFn& post, std::chrono::steady_clock::time_point now, std::chrono::milliseconds retry_pause,
             const LogSink& sink, std::size_t max_requests = static_cast<std::size_t>(-1));
  // Whether items wait and no retry pause holds them back at `now`.
  bool due(std::chrono::steady_clock::time_point now) const { return pending() > 0 && !(failing_ && now < retry_at_); }

 private:
  std::string what_;
  std::string url_;
  std::size_t batch_;
  std::size_t capacity_;
  BodyFn body_;
  std::deque<Json> items_;
  // With one item a request: the body of the item whose delivery failed.
  std::optional<Json> retry_body_;
  std::uint64_t dropped_ = 0;
  std::uint64_t dropped_logged_ = 0;
  std::chrono::steady_clock::time_point drop_log_at_{};
  bool failing_ = false;
  std::chrono::steady_clock::time_point retry_at_{};
  // Rejected items not logged yet, the last rejection and when the next
  // line about them is due.
  std::uint64_t rejected_ = 0;
  std::string rejection_;
  std::chrono::steady_clock::time_point rejection_log_at_{};
  void log_rejected(std::chrono::steady_clock::time_point now, std::chrono::milliseconds retry_pause,
                    const LogSink& sink);
};

// A failed delivery: `retry` when the management API could not be reached.
struct DeliveryError : std::runtime_error {
  DeliveryError(const std::string& what, bool retry, bool network)
      : std::runtime_error(what), retry(retry), network(network) {}
  bool retry;
  bool network;
};

// POSTs `body` as JSON with the management API's proxy, headers and
// certificate bundle; throws DeliveryError unless the reply's status starts
// with "20".
void post_json(const std::string& url, const Json& body, const ApiContext& api);

// The attack forwarder: passes the reports of the DDoS and brute-force
// detectors (q_attack_bd) on to the event-and-API sender (q_attack_api).
// Runs until `stop`.
void q_attack_bd_processing(const std::shared_ptr<SharedNamespace>& nsi,
                            const std::shared_ptr<AttackQueue>& q_attack_bd,
                            const std::shared_ptr<AttackQueue>& q_attack_api, const LogSink& sink,
                            const std::stop_token& stop);

// The event-and-API sender: attack reports to "/attack", attack tables to
// "/set_mt_data_uri", events and the WAF's "api" objects to "/set_event".
// Reports and tables are delivered by a second thread, so a large report
// does not hold back the events. Runs until `stop`.
void rmq_log_and_api_processing(const std::string& ip, const std::string& uuid, const ApiEndpoints& endpoints,
                                ApiContext api, const std::string& geo_token, std::shared_ptr<AttackQueue> q_attack_api,
                                std::shared_ptr<TableQueue> q_mt_api, const std::shared_ptr<EventQueue>& q_api,
                                LogSink sink, const std::stop_token& stop, SenderOptions opts = {});

// The statistics sender: the WAF's "stats" objects whose "type" is "traffic"
// to "/stats/v1/set_traffic", all others to "/stats/v1/set_request". Runs
// until `stop`.
void rmq_stats_processing(const ApiEndpoints& endpoints, const ApiContext& api,
                          const std::shared_ptr<EventQueue>& q_stats, const LogSink& sink, const std::stop_token& stop,
                          SenderOptions opts = {});

}  // namespace tessel::core
