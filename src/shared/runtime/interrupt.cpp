#include "shared/runtime/interrupt.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tessel {

void interruptible_sleep(std::chrono::milliseconds d, const InterruptCheck& check) {
  using namespace std::chrono;
  const auto end = steady_clock::now() + d;
  for (;;) {
    if (check) check();
    auto now = steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, milliseconds(100)));
  }
}

bool sleep_or_stop(std::chrono::milliseconds d, const std::stop_token& stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock lk(mu);
  cv.wait_for(lk, stop, d, [] { return false; });
  return stop.stop_requested();
}

}  // namespace tessel
