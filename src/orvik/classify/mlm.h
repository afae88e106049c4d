#pragma once
// The classification host: one worker per table of new requests.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/workers/run_context.h"
#include "orvik/classify/preprocessing.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/child.h"
#include "shared/runtime/detector.h"

namespace tessel::orvik {

class MLM : public MlDetector {
 public:
  // db_fnames_dict: protected host as listed to the path of its staging
  // file (hosts that collect traffic only). Logs "ML attack detection
  // module is running".
  MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
      std::string mt_fname, core::DetectorContext ctx);
  // The same with the data store and publisher given (tests).
  MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
      std::string mt_fname, core::DetectorContext ctx, ClassifyServices services);

  // Starts one worker thread running ml_preprocessing on a non-empty table
  // and returns; on the housekeeping deadline joins finished workers and
  // reports slow ones and too many. Never throws.
  void dfs_processing(const std::shared_ptr<Nsg>& nsg, const LockMap& db_processing_lock, RequestTable dfs) override;

  // Waits until every worker started so far has ended (tests, shutdown);
  // true when all ended within `timeout`.
  bool join_workers(std::chrono::milliseconds timeout);

  // Replaces the clock (UNIX seconds) and the processor count the
  // housekeeping reads, and restarts its deadline from the new clock
  // (tests).
  void set_clock(std::function<std::int64_t()> clock, unsigned cpu_count);

  // The models shared by the workers.
  const std::shared_ptr<ModelStore>& models() const { return cc_->models; }

 private:
  struct Worker {
    std::int64_t start = 0;
    ChildPtr process;
    std::size_t rows = 0;
  };
  void housekeeping();

  std::shared_ptr<const MlHosts> hosts_;
  std::shared_ptr<const ClassifyContext> cc_;
  std::vector<Worker> processes_;
  std::function<std::int64_t()> clock_ = unix_now;
  unsigned cpu_count_;
  std::int64_t lttl_;
};

}  // namespace tessel::orvik
