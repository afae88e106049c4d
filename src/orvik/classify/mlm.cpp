#include "orvik/classify/mlm.h"

#include <utility>

#include "core/log.h"
#include "shared/runtime/child.h"

namespace tessel::orvik {

MLM::MLM(Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
         std::string mt_fname, core::DetectorContext ctx)
    : db_fnames_dict_(std::move(db_fnames_dict)),
      models_dir_(std::move(models_dir)),
      ai_extra_(ai_extra),
      mlvh_list_(std::move(mlvh_list)),
      mt_fname_(std::move(mt_fname)),
      ctx_(std::move(ctx)),
      lttl_(unix_now() + 30) {
  core::log_processing(ctx_.sink, "info", "ml", "ML attack detection module is running");
}

// Classification is not built yet: the requests are dropped.
void MLM::dfs_processing(const std::shared_ptr<Nsg>&, const LockMap&, RequestTable) {}

}  // namespace tessel::orvik
