#pragma once
// The process queues of the service and the types of their items.
#include <memory>
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/blocking_queue.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/request.h"

namespace tessel {

// Items of q_local: the new requests of one normalised batch, on their way
// to the detectors, with what each detector takes of them.
struct LocalBatch {
  // Every record of the batch, in batch order (classification takes it).
  RequestTable table;
  // Positions in `table` of the rows for DDoS detection (when it is on;
  // white-listed addresses and URLs left out), in order.
  std::vector<std::size_t> ddos_rows;
  // Brute-force and flood candidate rows (when brute-force detection is on),
  // with the extra columns flood_detect and zone_detect.
  RequestTable bf_table;
  // Schema generation takes `table` (with schema_name "") when virtual-host
  // patterns are configured.
  bool schemix = false;
};

using EventQueue = BlockingQueue<Json>;  // q_ec, q_api, q_stats, q_geoip
using AadQueue = BlockingQueue<std::vector<AadEntry>>;
using AttackQueue = BlockingQueue<AttackReport>;
using TableQueue = BlockingQueue<RequestTable>;
using LocalQueue = BlockingQueue<LocalBatch>;

template <class T>
using QueuePtr = std::shared_ptr<BlockingQueue<T>>;

// The nine queues created together at start-up, in creation order; the
// tenth, q_log, belongs to the log service.
struct ProcessQueues {
  std::shared_ptr<AadQueue> q_aad = std::make_shared<AadQueue>();
  std::shared_ptr<EventQueue> q_geoip = std::make_shared<EventQueue>();
  std::shared_ptr<AttackQueue> q_attack_bd = std::make_shared<AttackQueue>();
  std::shared_ptr<TableQueue> q_mt_api = std::make_shared<TableQueue>();
  std::shared_ptr<AttackQueue> q_attack_api = std::make_shared<AttackQueue>();
  std::shared_ptr<LocalQueue> q_local = std::make_shared<LocalQueue>();
  std::shared_ptr<EventQueue> q_ec = std::make_shared<EventQueue>();
  std::shared_ptr<EventQueue> q_api = std::make_shared<EventQueue>();
  std::shared_ptr<EventQueue> q_stats = std::make_shared<EventQueue>();
};

}  // namespace tessel
