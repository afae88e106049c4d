#pragma once
// The classification host: one worker per table of new requests.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/workers/run_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/detector.h"

namespace tessel::orvik {

class MLM : public MlDetector {
 public:
  // db_fnames_dict: protected host as listed to the path of its staging
  // file (hosts that collect traffic only). Logs "ML attack detection
  // module is running".
  MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
      std::string mt_fname, core::DetectorContext ctx);

  void dfs_processing(const std::shared_ptr<Nsg>& nsg, const LockMap& db_processing_lock, RequestTable dfs) override;

 private:
  Json db_fnames_dict_;
  std::string models_dir_;
  bool ai_extra_;
  std::vector<std::string> mlvh_list_;
  std::string mt_fname_;
  core::DetectorContext ctx_;
  std::int64_t lttl_;
};

}  // namespace tessel::orvik
