#pragma once
// Wall clock and sleeper of the timers (housekeeping, window cuts, look-up
// timing), injected so that tests and benchmarks can drive time themselves.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>

namespace tessel {

class Clock {
 public:
  virtual ~Clock() = default;
  // UNIX time in whole seconds (truncated).
  virtual std::int64_t now_s() const = 0;
  // Sleeps `d`, or until `stop` is requested; true when it was.
  virtual bool sleep_for(std::chrono::milliseconds d, const std::stop_token& stop) = 0;
};

using ClockPtr = std::shared_ptr<Clock>;

// The system clock and real sleeps.
class RealClock final : public Clock {
 public:
  std::int64_t now_s() const override;
  bool sleep_for(std::chrono::milliseconds d, const std::stop_token& stop) override;
};

// One shared real clock.
ClockPtr real_clock();

// Time that moves only when told to. With `self_advancing` a sleep moves the
// time forward by its length and returns at once (single-threaded drivers);
// without it a sleep waits until other threads have advanced the time far
// enough, or until stop.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(std::int64_t start_s = 0, bool self_advancing = true);

  std::int64_t now_s() const override;
  bool sleep_for(std::chrono::milliseconds d, const std::stop_token& stop) override;

  // Moves the time forward (never back) and wakes the sleepers it reaches.
  void advance(std::chrono::milliseconds d);
  void advance_s(std::int64_t s) { advance(std::chrono::seconds(s)); }
  // Sets the time; earlier than now is ignored.
  void set_s(std::int64_t s);
  std::chrono::milliseconds now_ms() const;
  // Threads waiting in sleep_for.
  std::size_t sleepers() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable_any cv_;
  std::chrono::milliseconds now_;
  const bool self_advancing_;
  std::size_t sleepers_ = 0;
};

}  // namespace tessel
