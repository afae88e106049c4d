#pragma once
// Runs work items on a few threads; items are handed out in order. The
// helper threads are started once and kept: starting and joining threads
// costs about a millisecond, as much as a batch of predictions.
#include <algorithm>
#include <cstdint>
#include <thread>
#include <type_traits>

namespace tessel::ml::detail {

// n_jobs <= 0 means one thread per core.
inline int resolve_jobs(int n_jobs) {
  if (n_jobs > 0) return n_jobs;
  unsigned hc = std::thread::hardware_concurrency();
  return hc == 0 ? 1 : static_cast<int>(hc);
}

// Calls call(ctx, item, worker) for every item on the calling thread and up
// to threads - 1 kept helper threads; worker is in [0, threads). Rethrows the
// first exception once every item has ended.
void run_on_helpers(std::int64_t n_items, int threads, void (*call)(void*, std::int64_t, int), void* ctx);

// Calls fn(item, worker) for every item in [0, n_items) on up to n_jobs
// threads; worker is in [0, threads). The first exception is rethrown.
template <class Fn>
void parallel_items(std::int64_t n_items, int n_jobs, Fn&& fn) {
  int threads = static_cast<int>(std::min<std::int64_t>(resolve_jobs(n_jobs), n_items));
  if (threads <= 1) {
    for (std::int64_t i = 0; i < n_items; ++i) fn(i, 0);
    return;
  }
  using F = std::remove_reference_t<Fn>;
  run_on_helpers(
      n_items, threads, [](void* ctx, std::int64_t i, int w) { (*static_cast<F*>(ctx))(i, w); },
      const_cast<void*>(static_cast<const void*>(&fn)));
}

}  // namespace tessel::ml::detail
