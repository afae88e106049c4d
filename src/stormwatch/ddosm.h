#pragma once
// The DDoS and web-scraping detector host.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/workers/run_context.h"
#include "core/workers/window_workers.h"
#include "core/workers/windows.h"
#include "shared/runtime/clock.h"
#include "shared/runtime/detector.h"
#include "stormwatch/ddos_detection.h"

namespace tessel::stormwatch {

// How a host is run; the defaults are the service's.
struct DDoSOptions {
  ClockPtr clock;            // null: the real clock
  unsigned max_workers = 0;  // windows analysed at a time; 0: the processor count
  DDoSServices services;     // empty functions: core's, with the run's values
};

// The window length used when `ddos_interval` is not an integer of at least 2.
inline constexpr std::int64_t kDefaultDDoSInterval = 120;

class DDoSM : public WindowDetector {
 public:
  // Logs "DDoS attack detection module is running".
  explicit DDoSM(core::DetectorContext ctx, DDoSOptions opts = {});
  // Stops the workers: waiting windows are dropped, running ones end at
  // their next address.
  ~DDoSM() override;

  // Takes the new requests in, trims the country history to the last
  // interval of request time and, more than interval/2 seconds after the
  // last cut, cuts the held requests into windows, each analysed by a
  // worker. Reads ddos_interval, ddos_latest_only and ddos_send_possible on
  // every call. Never throws.
  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

  // Requests held, country-history rows held, the workers.
  std::size_t held() const { return dfs_.size(); }
  std::size_t history_rows() const { return history_rows_; }
  core::WindowWorkers& workers() { return *processes_; }

 private:
  struct HistoryRow {
    std::string vhost;
    std::string cc;
  };
  std::int64_t interval_in_force(const SharedNamespace& nsi);
  void history_add(const RequestTable& ndfs);
  void history_trim(std::int64_t interval);

  core::DetectorContext ctx_;
  ClockPtr clock_;
  DDoSWorkerEnv env_;
  std::unique_ptr<core::WindowWorkers> processes_;
  std::int64_t lttl_ = 0;
  core::RollingWindows<RequestRecord, RequestTraits> dfs_;
  // rccdfs: the rows by timestamp, and their counts per host and country.
  std::map<std::int64_t, std::vector<HistoryRow>> rccdfs_;
  CountryCounts counts_;
  std::size_t history_rows_ = 0;
  std::optional<std::string> warned_interval_;
};

}  // namespace tessel::stormwatch
