#pragma once
// The DDoS and web-scraping detector host.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <memory>

#include "core/workers/run_context.h"
#include "shared/runtime/detector.h"

namespace tessel::stormwatch {

class DDoSM : public WindowDetector {
 public:
  // Logs "DDoS attack detection module is running".
  explicit DDoSM(core::DetectorContext ctx);

  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

 private:
  core::DetectorContext ctx_;
};

}  // namespace tessel::stormwatch
