#include "shared/runtime/clock.h"

#include <thread>

namespace tessel {

std::int64_t RealClock::now_s() const {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool RealClock::sleep_for(std::chrono::milliseconds d, const std::stop_token& stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock lk(mu);
  return cv.wait_for(lk, stop, d, [] { return false; }) || stop.stop_requested();
}

ClockPtr real_clock() {
  static const ClockPtr clock = std::make_shared<RealClock>();
  return clock;
}

VirtualClock::VirtualClock(std::int64_t start_s, bool self_advancing)
    : now_(std::chrono::seconds(start_s)), self_advancing_(self_advancing) {}

std::int64_t VirtualClock::now_s() const {
  std::lock_guard lk(mu_);
  return std::chrono::duration_cast<std::chrono::seconds>(now_).count();
}

std::chrono::milliseconds VirtualClock::now_ms() const {
  std::lock_guard lk(mu_);
  return now_;
}

std::size_t VirtualClock::sleepers() const {
  std::lock_guard lk(mu_);
  return sleepers_;
}

bool VirtualClock::sleep_for(std::chrono::milliseconds d, const std::stop_token& stop) {
  std::unique_lock lk(mu_);
  if (stop.stop_requested()) return true;
  if (self_advancing_) {
    if (d.count() > 0) now_ += d;
    cv_.notify_all();
    return false;
  }
  const auto until = now_ + d;
  ++sleepers_;
  const bool reached = cv_.wait(lk, stop, [&] { return now_ >= until; });
  --sleepers_;
  return !reached;
}

void VirtualClock::advance(std::chrono::milliseconds d) {
  {
    std::lock_guard lk(mu_);
    if (d.count() > 0) now_ += d;
  }
  cv_.notify_all();
}

void VirtualClock::set_s(std::int64_t s) {
  {
    std::lock_guard lk(mu_);
    const std::chrono::milliseconds t = std::chrono::seconds(s);
    if (t > now_) now_ = t;
  }
  cv_.notify_all();
}

}  // namespace tessel
