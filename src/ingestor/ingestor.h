#pragma once
// Request intake: one supervisor per broker consumes the WAF's request queue
// "vexa" in passes, turns every message into a RequestRecord, hands request
// tables to the data router (q_local), spools request data under overload,
// passes challenge-page traffic to the unlock worker and drains the "log",
// "api" and "stats" queues into q_ec, q_api and q_stats.
//
// The service main starts dyn_queue_consumer once per broker on a Child
// thread; everything else here is started by it (or callable on its own in
// tests and tools).
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/child.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"
#include "shared/runtime/rmq_params.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::core {
struct B64Whitelist;
}

namespace tessel::ingestor {

// WAF request messages, each the JSON object of one message, in the order
// they were consumed.
using RequestMessages = std::vector<Json>;

// Request message bodies as received, in consumption order, packed into a
// few large blocks. Each body is parsed on the thread that normalises or
// spools it, so a chunk's parsed messages never cross threads.
class RequestBodies {
 public:
  RequestBodies() = default;
  ~RequestBodies();
  RequestBodies(RequestBodies&& o) noexcept;
  RequestBodies& operator=(RequestBodies&& o) noexcept;

  void add(std::string_view body);
  std::size_t size() const { return bodies_.size(); }
  bool empty() const { return bodies_.empty(); }
  std::vector<std::string_view>::const_iterator begin() const { return bodies_.begin(); }
  std::vector<std::string_view>::const_iterator end() const { return bodies_.end(); }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;  // shared by bodies, of one size
  std::vector<std::unique_ptr<char[]>> large_;   // one body each
  char* next_ = nullptr;                         // the unused rest of the last block
  std::size_t left_ = 0;
  std::vector<std::string_view> bodies_;
};

// One entry of an owner's child list: [start time in whole seconds, child].
struct ChildEntry {
  std::int64_t start = 0;
  ChildPtr child;
};
using ChildEntries = std::vector<ChildEntry>;

// Pauses, limits and clocks of intake. The defaults are the service's;
// tests shorten them.
struct IntakeOptions {
  std::chrono::milliseconds cycle_pause{1000};         // after every cycle / pass
  std::chrono::milliseconds loop_failure_pause{1000};  // after a failure inside the message loop
  std::chrono::milliseconds failed_pass_pause{3000};   // after a failed pass
  std::chrono::milliseconds restart_wait{15000};       // supervisor, before ending on the restart signal
  // Longest wait for the next delivery; a pass whose deliveries stop ends
  // its batch after this wait.
  std::chrono::milliseconds delivery_wait{1000};
  // Deliveries gather this long before the consumer reads a socket that
  // holds little: a read then takes many of them.
  std::chrono::microseconds read_pause{2000};
  std::size_t data_lmt = 25000;      // a chunk is handed over when more were consumed
  std::size_t drain_limit = 100000;  // per queue and drain
  std::uint16_t prefetch = 1000;     // deliveries in flight to the consumer, at most what the pass expects
  std::int64_t housekeeping_period = 30;
  std::int64_t long_run_limit = 60;
  // Whole seconds since the UNIX epoch.
  std::function<std::int64_t()> clock = unix_now;
  unsigned cpu_count = 0;  // 0: the processor count
};

// One broker as intake reads it, and where challenge-page traffic goes.
struct BrokerIntake {
  std::string rmq_rconnection_param;  // the broker's AMQP URL
  std::string rmq_rhost;              // its host, in log lines
  std::string tessel_rmq_q;           // the service's own queue on every broker
  RmqParamList rmq_rc_param_list;     // every broker; challenge-page traffic is published to all
  bool use_dyn_unlock = false;        // hand challenge-page traffic to the unlock worker, else drop it
};

// Where intake hands its request tables: the data router's queue, and what
// the router reads besides a table.
struct RouteTarget {
  std::shared_ptr<LocalQueue> q_local;
  DetectorSwitches detectors;
  std::vector<std::string> mlvh_list;
};

// What the supervisor of one broker works with.
struct ConsumerArgs {
  BrokerIntake broker;
  RouteTarget route;
  std::shared_ptr<EventQueue> q_stats;
  std::shared_ptr<EventQueue> q_api;
};

// The supervisor of one broker. Returns after the restart signal (15 s after
// it saw it) or a failed set-up; never throws.
void dyn_queue_consumer(Nsg& nsg, const std::shared_ptr<SharedNamespace>& nsi, const ConsumerArgs& args,
                        const LogSink& sink, const IntakeOptions& opts = {});

// The request queue consumer of one broker; runs until the restart signal.
void rmq_vexa_receiver(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const BrokerIntake& broker,
                       const RouteTarget& route, const LogSink& sink, const IntakeOptions& opts = {});

// Hands one chunk over: unlock data to a new unlock worker, request data to
// a new normaliser, or parsed to the spool while nsg.overload is set (a body
// that is no JSON object is logged and dropped where it is parsed). Returns
// the child list with the children it started appended.
ChildEntries vexa_data_preprocessing(Nsg& nsg, const std::shared_ptr<SharedNamespace>& nsi, RequestMessages udata,
                                     RequestBodies rdata, ChildEntries processes, const RouteTarget& route,
                                     const BrokerIntake& broker, const LogSink& sink);

// One batch of request messages to one request table for the data router.
void vexa_data_normalization(const std::shared_ptr<SharedNamespace>& nsi, RequestMessages data,
                             const RouteTarget& route, const LogSink& sink);

// The record of one message, or nothing when the message is skipped (the
// reason is logged); a failure throws with the text to log. The zone values
// move from the message into the record.
std::optional<RequestRecord> request_record_from_message(Json msg, const core::B64Whitelist& b64wl,
                                                         const LogSink& sink);

// One drain of the "log", "api" and "stats" queues of one broker.
void rmq_log_api_stats_receiver(Nsg& nsg, const std::string& rmq_rhost, const std::string& rmq_rconnection_param,
                                EventQueue& q_stats, EventQueue& q_api, const LogSink& sink,
                                const IntakeOptions& opts = {});

// Housekeeping of a child list, at most once per period: joins finished
// children, warns about long runners and about too many children. Returns
// the new list and deadline.
std::pair<ChildEntries, std::int64_t> processes_control(const std::string& pprfx, ChildEntries processes,
                                                        std::int64_t pttl, const LogSink& sink,
                                                        const IntakeOptions& opts = {});

// The text form of a child in messages.
std::string child_text(const Child& child);

}  // namespace tessel::ingestor
