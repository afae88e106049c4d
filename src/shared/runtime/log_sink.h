#pragma once
// The logging pair every part of the service logs through: the event queue
// (q_ec), the logger, and the flag that lets debug lines through. One value,
// copied into each worker.
#include <memory>

#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel {

struct LogSink {
  std::shared_ptr<EventQueue> q_ec;
  std::shared_ptr<Logger> log;
  bool debug = false;

  // The same pair with debug lines off.
  LogSink quiet() const { return LogSink{q_ec, log, false}; }
  // Lines written to the log only, without events (no q_ec).
  LogSink log_only() const { return LogSink{nullptr, log, debug}; }
};

}  // namespace tessel
