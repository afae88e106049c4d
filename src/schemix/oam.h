#pragma once
// The schema-generation host.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <memory>

#include "core/workers/run_context.h"
#include "shared/runtime/detector.h"

namespace tessel::schemix {

class OAM : public WindowDetector {
 public:
  // oa_loop_int: seconds between two schema-generation runs.
  OAM(int oa_loop_int, core::DetectorContext ctx);

  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

 private:
  int loop_int_;
  core::DetectorContext ctx_;
};

}  // namespace tessel::schemix
