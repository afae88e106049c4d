#pragma once
// Runs work items on a few threads; items are handed out in order.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tessel::ml::detail {

// n_jobs <= 0 means one thread per core.
inline int resolve_jobs(int n_jobs) {
  if (n_jobs > 0) return n_jobs;
  unsigned hc = std::thread::hardware_concurrency();
  return hc == 0 ? 1 : static_cast<int>(hc);
}

// Calls fn(item, worker) for every item in [0, n_items) on up to n_jobs
// threads; worker is in [0, threads). The first exception is rethrown.
template <class Fn>
void parallel_items(std::int64_t n_items, int n_jobs, Fn&& fn) {
  int threads = static_cast<int>(std::min<std::int64_t>(resolve_jobs(n_jobs), n_items));
  if (threads <= 1) {
    for (std::int64_t i = 0; i < n_items; ++i) fn(i, 0);
    return;
  }
  std::atomic<std::int64_t> next{0};
  std::exception_ptr error;
  std::mutex error_mu;
  auto body = [&](int worker) {
    try {
      for (std::int64_t i; (i = next.fetch_add(1)) < n_items;) fn(i, worker);
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mu);
      if (!error) error = std::current_exception();
      next.store(n_items);
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (int w = 1; w < threads; ++w) pool.emplace_back(body, w);
  body(0);
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace tessel::ml::detail
