#include "passgate/bfm.h"

#include <functional>
#include <utility>

#include "core/base/log.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::passgate {

namespace {

constexpr std::int64_t kDefaultInterval = 30;

core::WorkerTexts bf_texts() {
  core::WorkerTexts t;
  t.worker_name = "bf_detection";
  t.prefix = "BF analysis";
  t.slow = [](long pid, std::int64_t secs, std::size_t rows) {
    return "BF analysis: process " + std::to_string(pid) + " takes more than " + std::to_string(secs) +
           " sec. (request(s): " + std::to_string(rows) + ")";
  };
  t.count_factor = 3;
  return t;
}

}  // namespace

// Ids are random: their hash alone spreads the keys; the other two parts
// only tell the few rows of one request apart.
std::size_t BfRowTraits::Hash::operator()(const BfRowKey& k) const noexcept {
  return std::hash<std::string_view>()(k.id) + static_cast<std::size_t>(k.flood_detect);
}

BfRowKey BfRowTraits::key(const RequestRecord& r) {
  BfRowKey k{r.id, -1, {}};
  if (auto it = r.extras.find("flood_detect"); it != r.extras.end() && it->is_number_integer())
    k.flood_detect = it->get<std::int64_t>();
  if (auto it = r.extras.find("zone_detect"); it != r.extras.end() && it->is_string())
    k.zone_detect = it->get_ref<const std::string&>();
  return k;
}

BFM::BFM(core::DetectorContext ctx, ClockPtr clock, BfServices services, unsigned max_running)
    : ctx_(std::move(ctx)),
      clock_(clock ? std::move(clock) : real_clock()),
      lttl_(clock_->now_s() + 30),
      dfs_(clock_->now_s()),
      processes_(bf_texts(), ctx_.sink, clock_, max_running) {
  BfServices s = make_bf_services(ctx_);
  if (services.get_geoip) s.get_geoip = std::move(services.get_geoip);
  if (services.publish) s.publish = std::move(services.publish);
  s.now = services.now ? std::move(services.now) : [c = clock_] { return c->now_s(); };
  env_ = std::make_shared<const BfWorkerEnv>(BfWorkerEnv{ctx_, std::move(s)});
  core::log_processing(ctx_.sink, "info", "bf", "BF attack detection module is running");
}

// An interval below 2 seconds cannot advance the windows: the default is
// used, with one warning per unusable value.
std::int64_t BFM::interval_setting(const Json& v) {
  const std::int64_t interval = py_int(v);
  if (interval >= 2) {
    bad_interval_ = Json();
    return interval;
  }
  if (bad_interval_ != v) {
    core::log_processing(ctx_.sink, "warn", "settings",
                         "An incorrect interval is set in BF attack detection module: " + py_str(v) +
                             ", the value will be used: " + std::to_string(kDefaultInterval));
    bad_interval_ = v;
  }
  return kDefaultInterval;
}

void BFM::dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) {
  const LogSink& sink = ctx_.sink;
  try {
    BfSettings settings;
    settings.max_val = py_int(nsi->get<Json>("bf_max_val"));
    const std::int64_t interval = interval_setting(nsi->get<Json>("bf_interval"));
    settings.latest_only = py_truthy(nsi->get<Json>("bf_latest_only"));
    settings.send_possible = py_truthy(nsi->get<Json>("bf_send_possible"));

    const std::int64_t now = clock_->now_s();
    if (now > lttl_) {
      lttl_ = now + 30;
      processes_.housekeeping(interval);
      if (sink.debug) {
        core::log_processing(sink, "debug", "bf",
                             "BF analysis: current dataset size: " + std::to_string(dfs_.size()) + " request(s)");
      }
    }
    if (sink.debug && !ndfs.empty()) {
      core::log_processing(sink, "debug", "bf", "BF analysis: received " + std::to_string(ndfs.size()) + " request(s)");
    }
    if (!ndfs.empty()) {
      try {
        dfs_.intake(std::move(ndfs));
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "bf",
                             std::string("BF analysis: an error occurred while data preprocessing: ") + e.what());
      }
    }
    if (dfs_.empty()) return;
    dfs_.cut_if_due(clock_->now_s(), interval, [&](core::Window<RequestRecord> w) {
      if (sink.debug) {
        core::log_processing(sink, "debug", "bf",
                             "BF analysis: processing " + std::to_string(w.size()) + " request(s)");
      }
      const std::size_t rows = w.size();
      processes_.submit(rows, [w = std::move(w), settings, env = env_](const std::stop_token& stop) {
        bf_detection(w.rows(), settings, *env, stop);
      });
    });
  } catch (const std::exception& e) {
    core::log_processing(
        sink, "error", "bf",
        std::string("An error occurred while processing data in BF attack detection module: ") + e.what());
  }
}

}  // namespace tessel::passgate
