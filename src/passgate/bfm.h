#pragma once
// The brute-force and flood detector host.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <memory>

#include "core/workers/run_context.h"
#include "core/workers/window_workers.h"
#include "core/workers/windows.h"
#include "passgate/bf_analysis.h"
#include "shared/runtime/clock.h"
#include "shared/runtime/detector.h"

namespace tessel::passgate {

// Rows of the held table are told apart by id, flood_detect and zone_detect:
// one request may be held once per kind and zone list.
struct BfRowKey {
  std::string_view id;
  std::int64_t flood_detect;
  std::string_view zone_detect;
  bool operator==(const BfRowKey&) const = default;
};

struct BfRowTraits {
  using Key = BfRowKey;
  struct Hash {
    std::size_t operator()(const BfRowKey& k) const noexcept;
  };
  static Key key(const RequestRecord& r);
  static std::int64_t timestamp(const RequestRecord& r) { return r.timestamp; }
};

class BFM : public WindowDetector {
 public:
  // Logs "BF attack detection module is running". The services default to
  // core's (make_bf_services) with `clock` as their time; `max_running`
  // bounds the windows analysed at once (0: the processor count).
  explicit BFM(core::DetectorContext ctx, ClockPtr clock = real_clock(), BfServices services = {},
               unsigned max_running = 0);

  // Reads the bf_ settings of `nsi`, runs the housekeeping pass when due,
  // puts `ndfs` above the held rows (a row with a held key replaces it) and,
  // more than half an interval after the last cut, hands every window of
  // the held rows to a bf_detection worker. Never throws.
  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

  // Rows held, time of the last cut, the workers.
  std::size_t held() const { return dfs_.size(); }
  std::int64_t stime() const { return dfs_.stime(); }
  const core::WindowWorkers& processes() const { return processes_; }

 private:
  std::int64_t interval_setting(const Json& v);

  core::DetectorContext ctx_;
  ClockPtr clock_;
  std::shared_ptr<const BfWorkerEnv> env_;
  std::int64_t lttl_;
  core::RollingWindows<RequestRecord, BfRowTraits> dfs_;
  core::WindowWorkers processes_;
  Json bad_interval_;  // the unusable interval last warned about
};

}  // namespace tessel::passgate
