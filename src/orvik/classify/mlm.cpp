#include "orvik/classify/mlm.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include "core/base/log.h"
#include "core/workers/overload.h"

namespace tessel::orvik {

namespace {

std::string printable(const ChildPtr& c) {
  return "<Thread name='" + c->name() + "' pid=" + std::to_string(c->pid()) +
         (c->is_alive() ? " started>" : " stopped>");
}

}  // namespace

MLM::MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
         std::string mt_fname, core::DetectorContext ctx)
    : MLM(std::move(db_fnames_dict), std::move(models_dir), ai_extra, std::move(mlvh_list), std::move(mt_fname),
          std::move(ctx), ClassifyServices::real()) {}

MLM::MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
         std::string mt_fname, core::DetectorContext ctx, ClassifyServices services)
    : hosts_(std::make_shared<const MlHosts>(MlHosts{std::move(db_fnames_dict), ai_extra, std::move(mlvh_list)})),
      cpu_count_(std::max(1U, std::thread::hardware_concurrency())),
      lttl_(unix_now() + 30) {
  auto cc = std::make_shared<ClassifyContext>();
  cc->models_dir = std::move(models_dir);
  cc->mt_fname = std::move(mt_fname);
  cc->ctx = std::move(ctx);
  cc->services = std::move(services);
  cc_ = std::move(cc);
  core::log_processing(cc_->ctx.sink, "info", "ml", "ML attack detection module is running");
}

void MLM::set_clock(std::function<std::int64_t()> clock, unsigned cpu_count) {
  clock_ = std::move(clock);
  cpu_count_ = std::max(1U, cpu_count);
  lttl_ = clock_() + 30;
}

void MLM::housekeeping() {
  const LogSink& sink = cc_->ctx.sink;
  lttl_ = clock_() + 60;
  for (const auto& w : std::vector<Worker>(processes_)) {
    try {
      if (w.process->is_alive()) continue;
      w.process->join(std::chrono::seconds(1));
      std::erase_if(processes_, [&](const Worker& x) { return x.process == w.process; });
    } catch (const std::exception& e) {
      core::log_processing(
          sink, "error", "os",
          "ML analysis: a timeout occurred while join process " + printable(w.process) + ": " + e.what());
    }
  }
  for (const auto& w : std::vector<Worker>(processes_)) {
    try {
      const double limit = static_cast<double>(w.rows) * 1.5;
      const std::int64_t age = clock_() - w.start;
      if (w.process->is_alive() && static_cast<double>(age) > limit)
        core::log_processing(sink, "warn", "os",
                             "ML analysis: process " + std::to_string(w.process->pid()) + " takes more than " +
                                 std::to_string(age) + " sec. (request(s): " + std::to_string(w.rows) + ")");
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "os",
                           "ML analysis: an error occurred while processing preprocessing time " +
                               printable(w.process) + ": " + e.what());
    }
  }
  if (processes_.size() > static_cast<std::size_t>(cpu_count_) * 3)
    core::log_processing(sink, "warn", "os", "ML analysis: " + std::to_string(processes_.size()) + " active processes");
}

void MLM::dfs_processing(const std::shared_ptr<Nsg>& nsg, const LockMap& db_processing_lock, RequestTable dfs) {
  const LogSink& sink = cc_->ctx.sink;
  try {
    if (clock_() > lttl_) housekeeping();
    if (dfs.empty()) return;
    if (nsg) core::is_hw_overload(*nsg);
    const std::int64_t now = clock_();
    const std::size_t rows = dfs.size();
    // The worker owns its table; the hosts, models and queues are shared.
    // A worker that cannot start leaves no entry behind.
    ChildPtr child = Child::start("ml_preprocessing",
                                  [nsg, dfs = std::move(dfs), db_processing_lock, hosts = hosts_, cc = cc_]() mutable {
                                    ml_preprocessing(nsg, std::move(dfs), db_processing_lock, *hosts, *cc);
                                  });
    processes_.push_back(Worker{now, child, rows});
    if (sink.debug)
      core::log_processing(sink, "debug", "os",
                           "ml_preprocessing is running (PID: " + std::to_string(child->pid()) + ")");
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "ml",
                         std::string("An error occurred while processing data from AI-data queue: ") + e.what());
  }
}

bool MLM::join_workers(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool all = true;
  for (auto& w : processes_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    all = w.process->join(std::max(left, std::chrono::milliseconds(0))) && all;
  }
  std::erase_if(processes_, [](const Worker& w) { return w.process->joined(); });
  return all;
}

}  // namespace tessel::orvik
