#pragma once
// The workers of a traffic detector host: one thread per window analysis,
// at most `max_running` at a time (further windows wait their turn and each
// runs once), with the host's housekeeping pass over them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "shared/runtime/clock.h"
#include "shared/runtime/log_sink.h"

namespace tessel::core {

// The processor count of the machine (at least 1).
unsigned cpu_count();

// What the housekeeping and start lines of one host say.
struct WorkerTexts {
  std::string worker_name;  // "ddos_detection"
  std::string prefix;       // "DDoS analysis"
  // The slow-worker warning from the thread id, the seconds it has run and
  // its window's row count.
  std::function<std::string(long pid, std::int64_t secs, std::size_t rows)> slow;
  // The count warning is given above count_factor × cpu_count entries.
  unsigned count_factor = 9;
};

class WindowWorkers {
 public:
  // max_running 0: cpu_count().
  WindowWorkers(WorkerTexts texts, LogSink sink, ClockPtr clock, unsigned max_running = 0);
  // stop(2 s).
  ~WindowWorkers();
  WindowWorkers(const WindowWorkers&) = delete;
  WindowWorkers& operator=(const WindowWorkers&) = delete;

  // Queues the analysis of a window of `rows` rows; it starts at once when
  // a worker is free, else when one ends. With debug, logs "{worker} is
  // running (PID: {})" at its start. Throws when the worker thread cannot be
  // started; the window is then not queued.
  void submit(std::size_t rows, std::function<void(std::stop_token)> job);

  // The housekeeping pass: joins the workers whose window has ended (1 s
  // each) and forgets them; warns about each worker alive longer than 3 × interval seconds
  // and about more than count_factor × cpu_count entries (waiting windows
  // included). Starts waiting windows a worker is free for.
  void housekeeping(std::int64_t interval);

  // Workers started and not yet forgotten, plus waiting windows.
  std::size_t entries() const;
  std::size_t running() const;
  std::size_t waiting() const;
  // Waits until no window waits or runs; true when so. A housekeeping pass
  // after it forgets every worker.
  bool wait_idle(std::chrono::milliseconds timeout) const;
  // Takes no new window and finishes the waiting and running ones for
  // three quarters of `wait`; then drops the windows still waiting (logged),
  // asks the running ones to stop (they hand over what they found) and
  // waits for them until `wait` is over.
  void stop(std::chrono::milliseconds wait);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tessel::core
