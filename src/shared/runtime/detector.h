#pragma once
// The detector hosts as the detector feeder sees them. The service main
// builds them; the feeder hands each one table of new requests at a time.
#include <memory>

#include "shared/runtime/lock.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/request.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel {

// Hosts that gather requests into time windows: DDoS, brute-force and flood
// detection, schema generation. They read their settings from `nsi` on
// every call.
class WindowDetector {
 public:
  virtual ~WindowDetector() = default;
  virtual void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) = 0;
};

// The classification host: it starts a worker per table. The lock map holds
// the staging-file lock of every protected host.
class MlDetector {
 public:
  virtual ~MlDetector() = default;
  virtual void dfs_processing(const std::shared_ptr<Nsg>& nsg, const LockMap& db_processing_lock, RequestTable dfs) = 0;
};

// Which of the switchable detectors run: DDoS detection ([ddos] enable)
// and brute-force and flood detection ([brute] enable).
struct DetectorSwitches {
  bool ddos = false;
  bool bf = false;
};

using WindowDetectorPtr = std::shared_ptr<WindowDetector>;
using MlDetectorPtr = std::shared_ptr<MlDetector>;

}  // namespace tessel
