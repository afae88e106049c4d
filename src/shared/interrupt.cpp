#include "shared/interrupt.h"

#include <algorithm>
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

}  // namespace tessel
