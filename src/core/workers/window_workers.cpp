#include "core/workers/window_workers.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/log.h"
#include "shared/runtime/child.h"

namespace tessel::core {

unsigned cpu_count() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

namespace {

struct Entry {
  std::int64_t start = 0;
  ChildPtr child;
  std::size_t rows = 0;
  // Set under the state's lock when the window's analysis has returned; the
  // thread then only winds down.
  std::shared_ptr<bool> ended;
};

struct Pending {
  std::size_t rows = 0;
  std::function<void(std::stop_token)> job;
};

std::string handle_text(const WorkerTexts& t, const ChildPtr& c) {
  return "<" + t.worker_name + " tid=" + std::to_string(c ? c->pid() : 0) + ">";
}

}  // namespace

struct WindowWorkers::State {
  WorkerTexts texts;
  LogSink sink;
  ClockPtr clock;
  unsigned max_running = 1;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::deque<Pending> pending;
  std::vector<Entry> entries;
  unsigned running = 0;
  bool closing = false;  // stopping: no new window is taken
  std::stop_source stop;
};

namespace {

using StatePtr = std::shared_ptr<WindowWorkers::State>;

void launch_locked(const StatePtr& s, Pending p);

// Called by a worker thread when its window is done.
void finished(const StatePtr& s, bool& ended) {
  std::lock_guard lk(s->mu);
  ended = true;
  --s->running;
  while (!s->pending.empty() && s->running < s->max_running && !s->stop.stop_requested()) {
    Pending p = std::move(s->pending.front());
    s->pending.pop_front();
    try {
      launch_locked(s, std::move(p));
    } catch (const std::exception& e) {
      log_processing(s->sink, "error", "os",
                     "An error occurred while starting " + s->texts.worker_name + ": " + e.what());
      break;
    }
  }
  s->cv.notify_all();
}

// Starts `p` on a new worker thread; the caller holds the lock. On failure
// nothing is recorded and `p` is put back first in line.
void launch_locked(const StatePtr& s, Pending p) {
  ++s->running;
  auto job = std::make_shared<std::function<void(std::stop_token)>>(std::move(p.job));
  Entry e{s->clock->now_s(), nullptr, p.rows, std::make_shared<bool>(false)};
  try {
    e.child = Child::start(s->texts.worker_name, [s, job, ended = e.ended, token = s->stop.get_token()] {
      try {
        (*job)(token);
      } catch (...) {
        finished(s, *ended);
        throw;
      }
      finished(s, *ended);
    });
  } catch (...) {
    --s->running;
    s->pending.push_front(Pending{p.rows, std::move(*job)});
    throw;
  }
  const long pid = e.child->pid();
  s->entries.push_back(std::move(e));
  if (s->sink.debug) {
    log_processing(s->sink, "debug", "os", s->texts.worker_name + " is running (PID: " + std::to_string(pid) + ")");
  }
}

}  // namespace

WindowWorkers::WindowWorkers(WorkerTexts texts, LogSink sink, ClockPtr clock, unsigned max_running)
    : state_(std::make_shared<State>()) {
  state_->texts = std::move(texts);
  state_->sink = std::move(sink);
  state_->clock = clock ? std::move(clock) : real_clock();
  state_->max_running = max_running == 0 ? cpu_count() : max_running;
}

WindowWorkers::~WindowWorkers() { stop(std::chrono::seconds(2)); }

void WindowWorkers::submit(std::size_t rows, std::function<void(std::stop_token)> job) {
  std::lock_guard lk(state_->mu);
  if (state_->closing) return;
  if (state_->running < state_->max_running && state_->pending.empty()) {
    try {
      launch_locked(state_, Pending{rows, std::move(job)});
    } catch (...) {
      state_->pending.pop_front();
      throw;
    }
    return;
  }
  state_->pending.push_back(Pending{rows, std::move(job)});
}

void WindowWorkers::housekeeping(std::int64_t interval) {
  State& s = *state_;
  std::vector<Entry> copy;
  std::vector<bool> ended;
  {
    std::lock_guard lk(s.mu);
    copy = s.entries;
    for (const Entry& e : copy) ended.push_back(*e.ended);
  }
  for (std::size_t i = 0; i < copy.size(); ++i) {
    const Entry& e = copy[i];
    try {
      // A worker whose window has ended is joined even if its thread has not
      // yet flagged itself done: it is past its last step.
      if (!ended[i] && e.child->is_alive()) continue;
      if (!e.child->join(std::chrono::seconds(1))) throw std::runtime_error("join timed out");
      std::lock_guard lk(s.mu);
      std::erase_if(s.entries, [&e](const Entry& x) { return x.child == e.child; });
    } catch (const std::exception& ex) {
      log_processing(s.sink, "error", "os",
                     "An error occurred while join process " + handle_text(s.texts, e.child) + ": " + ex.what());
    }
  }
  {
    std::lock_guard lk(s.mu);
    copy = s.entries;
  }
  const std::int64_t ttl = interval * 3;
  for (const Entry& e : copy) {
    try {
      const std::int64_t tdelta = s.clock->now_s() - e.start;
      if (e.child->is_alive() && tdelta > ttl) {
        log_processing(s.sink, "warn", "os", s.texts.slow(e.child->pid(), tdelta, e.rows));
      }
    } catch (const std::exception& ex) {
      log_processing(s.sink, "error", "os",
                     s.texts.prefix + ": : an error occurred while processing preprocessing time " +
                         handle_text(s.texts, e.child) + ": " + ex.what());
    }
  }
  std::size_t n = 0;
  {
    std::lock_guard lk(s.mu);
    while (!s.pending.empty() && s.running < s.max_running && !s.stop.stop_requested()) {
      Pending p = std::move(s.pending.front());
      s.pending.pop_front();
      try {
        launch_locked(state_, std::move(p));
      } catch (const std::exception& e) {
        log_processing(s.sink, "error", "os",
                       "An error occurred while starting " + s.texts.worker_name + ": " + e.what());
        break;
      }
    }
    n = s.entries.size() + s.pending.size();
  }
  if (n > static_cast<std::size_t>(s.texts.count_factor) * cpu_count()) {
    log_processing(s.sink, "warn", "os", s.texts.prefix + ": " + std::to_string(n) + " active processes");
  }
}

std::size_t WindowWorkers::entries() const {
  std::lock_guard lk(state_->mu);
  return state_->entries.size() + state_->pending.size();
}

std::size_t WindowWorkers::running() const {
  std::lock_guard lk(state_->mu);
  return state_->running;
}

std::size_t WindowWorkers::waiting() const {
  std::lock_guard lk(state_->mu);
  return state_->pending.size();
}

bool WindowWorkers::wait_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lk(state_->mu);
  return state_->cv.wait_for(lk, timeout, [this] { return state_->running == 0 && state_->pending.empty(); });
}

void WindowWorkers::stop(std::chrono::milliseconds wait) {
  State& s = *state_;
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = now + wait;
  std::unique_lock lk(s.mu);
  // Windows already cut are analysed and handed over for most of the wait;
  // the last quarter is for the ones still running to hand over what they
  // found once asked to stop.
  s.closing = true;
  s.cv.wait_until(lk, now + wait * 3 / 4, [&s] { return s.running == 0 && s.pending.empty(); });
  s.stop.request_stop();
  const std::size_t dropped = s.pending.size();
  s.pending.clear();
  s.cv.wait_until(lk, deadline, [&s] { return s.running == 0; });
  std::vector<Entry> entries = std::move(s.entries);
  s.entries.clear();
  lk.unlock();
  if (dropped > 0)
    log_processing(s.sink, "warn", "os",
                   s.texts.prefix + ": " + std::to_string(dropped) + " window(s) not analysed at stop");
  for (const Entry& e : entries) {
    if (e.child && !e.child->is_alive()) e.child->join(std::chrono::milliseconds(100));
  }
}

}  // namespace tessel::core
