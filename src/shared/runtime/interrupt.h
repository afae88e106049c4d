#pragma once
// Interruptions (Ctrl-C, termination) as opposed to errors: not derived from
// std::exception, so the catch-all guards for ordinary errors let them pass.
#include <chrono>
#include <functional>
#include <stop_token>

namespace tessel {

struct Interrupted {};

// Called from long waits of the calling thread; throws Interrupted when the
// host asks the service to stop. Empty: never interrupted.
using InterruptCheck = std::function<void()>;

// Sleeps `d`, checking `check` about every 100 ms.
void interruptible_sleep(std::chrono::milliseconds d, const InterruptCheck& check);

// Sleeps `d` or until `stop` is requested; true when it was.
bool sleep_or_stop(std::chrono::milliseconds d, const std::stop_token& stop);

}  // namespace tessel
