#pragma once
// The brute-force and flood detector host.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <memory>

#include "core/workers/run_context.h"
#include "shared/runtime/detector.h"

namespace tessel::passgate {

class BFM : public WindowDetector {
 public:
  // Logs "BF attack detection module is running".
  explicit BFM(core::DetectorContext ctx);

  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

 private:
  core::DetectorContext ctx_;
};

}  // namespace tessel::passgate
