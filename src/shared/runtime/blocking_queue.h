#pragma once
// Unbounded FIFO queue shared between threads. Values are moved in, so the
// taker owns what it gets and a later change on the putter's side is not seen.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace tessel {

template <class T>
class BlockingQueue {
 public:
  BlockingQueue() = default;
  BlockingQueue(const BlockingQueue&) = delete;
  BlockingQueue& operator=(const BlockingQueue&) = delete;

  void put(T item) {
    {
      std::lock_guard lk(mu_);
      items_.push_back(std::move(item));
    }
    cv_.notify_one();
  }

  // Blocks until an item is there.
  T get() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return !items_.empty(); });
    return pop_locked();
  }

  // Waits at most `timeout`; nothing when the queue stayed empty.
  template <class Rep, class Period>
  std::optional<T> get(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lk(mu_);
    if (!cv_.wait_for(lk, timeout, [&] { return !items_.empty(); })) return std::nullopt;
    return pop_locked();
  }

  std::optional<T> try_get() {
    std::lock_guard lk(mu_);
    if (items_.empty()) return std::nullopt;
    return pop_locked();
  }

  // Takes everything queued now, in order, without waiting.
  std::vector<T> drain(std::size_t max_items = static_cast<std::size_t>(-1)) {
    std::vector<T> out;
    std::lock_guard lk(mu_);
    while (!items_.empty() && out.size() < max_items) out.push_back(pop_locked());
    return out;
  }

  std::size_t qsize() const {
    std::lock_guard lk(mu_);
    return items_.size();
  }

  bool empty() const { return qsize() == 0; }

 private:
  T pop_locked() {
    T v = std::move(items_.front());
    items_.pop_front();
    return v;
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<T> items_;
};

}  // namespace tessel
