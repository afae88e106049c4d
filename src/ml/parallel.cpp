#include "ml/parallel.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <vector>

namespace tessel::ml::detail {

namespace {

struct Job {
  std::int64_t n_items;
  int threads;  // the caller included
  void (*call)(void*, std::int64_t, int);
  void* ctx;
  std::atomic<std::int64_t> next{0};
  int joined = 1;  // worker ids handed out; the caller is 0
  int inside = 0;  // helpers still working on it
  std::mutex error_mu;
  std::exception_ptr error;

  bool open() const { return joined < threads && next.load(std::memory_order_relaxed) < n_items; }

  void work(int worker) {
    try {
      for (std::int64_t i; (i = next.fetch_add(1)) < n_items;) call(ctx, i, worker);
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mu);
      if (!error) error = std::current_exception();
      next.store(n_items);
    }
  }
};

class Helpers {
 public:
  explicit Helpers(int n) {
    for (int i = 0; i < n; ++i) std::thread([this] { loop(); }).detach();
  }

  void run(Job& job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(&job);
    }
    wake_.notify_all();
    job.work(0);
    std::unique_lock<std::mutex> lock(mu_);
    jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), &job), jobs_.end());
    done_.wait(lock, [&] { return job.inside == 0; });
  }

 private:
  Job* open_job() {
    for (Job* j : jobs_)
      if (j->open()) return j;
    return nullptr;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
      Job* job;
      wake_.wait(lock, [&] { return (job = open_job()) != nullptr; });
      const int worker = job->joined++;
      ++job->inside;
      lock.unlock();
      job->work(worker);
      lock.lock();
      if (--job->inside == 0) done_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_, done_;
  std::vector<Job*> jobs_;
};

// Kept for the life of the process (the threads are never joined). A child
// created by fork() has none of the threads, so it starts its own set.
std::atomic<Helpers*> g_helpers{nullptr};
std::once_flag g_atfork;

Helpers& helpers() {
  static std::mutex mu;
  Helpers* h = g_helpers.load(std::memory_order_acquire);
  if (h) return *h;
  std::call_once(g_atfork, [] { pthread_atfork(nullptr, nullptr, [] { g_helpers.store(nullptr); }); });
  std::lock_guard<std::mutex> lock(mu);
  h = g_helpers.load(std::memory_order_acquire);
  if (!h) {
    h = new Helpers(std::max(1, resolve_jobs(-1) - 1));
    g_helpers.store(h, std::memory_order_release);
  }
  return *h;
}

}  // namespace

void run_on_helpers(std::int64_t n_items, int threads, void (*call)(void*, std::int64_t, int), void* ctx) {
  Job job;
  job.n_items = n_items;
  job.threads = threads;
  job.call = call;
  job.ctx = ctx;
  helpers().run(job);
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace tessel::ml::detail
