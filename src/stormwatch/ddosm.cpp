#include "stormwatch/ddosm.h"

#include <exception>
#include <utility>

#include "core/base/log.h"
#include "core/data/refdata.h"
#include "core/net/broker_publish.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::stormwatch {

namespace {

core::WorkerTexts worker_texts() {
  return {"ddos_detection", "DDoS analysis",
          [](long pid, std::int64_t secs, std::size_t rows) {
            return "DDoS analysis: process " + std::to_string(pid) + " takes more than " + std::to_string(secs) +
                   " sec. (" + std::to_string(rows) + " request(s))";
          },
          9};
}

DDoSServices with_defaults(DDoSServices s, const core::DetectorContext& ctx) {
  if (!s.get_geoip) {
    s.get_geoip = [geo = ctx.geo, token = ctx.geo_token, api = ctx.api, sink = ctx.sink](const Json& addrs) {
      if (!geo) throw std::runtime_error("no GeoIP reference data");
      return core::get_geoip(*geo, addrs, token, api, sink);
    };
  }
  if (!s.get_geobl) {
    s.get_geobl = [geo = ctx.geo, token = ctx.geo_token, api = ctx.api, sink = ctx.sink](const std::string& addr) {
      if (!geo) throw std::runtime_error("no GeoIP reference data");
      return core::get_geobl(*geo, addr, token, api, sink);
    };
  }
  if (!s.rmq_bt_processing) {
    s.rmq_bt_processing = [brokers = ctx.rmq_rc_param_list, q = ctx.tessel_rmq_q, sink = ctx.sink](
                              const RequestTable& rows, int kind) {
      core::rmq_bt_processing(rows, kind, brokers, q, sink);
    };
  }
  return s;
}

void log(const LogSink& sink, const char* level, const char* category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

}  // namespace

DDoSM::DDoSM(core::DetectorContext ctx, DDoSOptions opts)
    : ctx_(std::move(ctx)),
      clock_(opts.clock ? opts.clock : real_clock()),
      env_{ctx_.endpoints.set_attack_url,
           ctx_.queues.q_attack_bd,
           ctx_.queues.q_aad,
           with_defaults(std::move(opts.services), ctx_),
           ctx_.sink,
           clock_},
      processes_(std::make_unique<core::WindowWorkers>(worker_texts(), ctx_.sink, clock_, opts.max_workers)),
      lttl_(clock_->now_s() + 30),
      dfs_(clock_->now_s()) {
  log(ctx_.sink, "info", "ddos", "DDoS attack detection module is running");
}

DDoSM::~DDoSM() { processes_->stop(std::chrono::seconds(2)); }

// A window length of at least 2 seconds: anything else gives the default,
// with the settings warning once per value found.
std::int64_t DDoSM::interval_in_force(const SharedNamespace& nsi) {
  const Json v = nsi.get<Json>("ddos_interval");
  if (v.is_number_integer() && v.get<std::int64_t>() >= 2) {
    warned_interval_.reset();
    return v.get<std::int64_t>();
  }
  const std::string found = py_str(v);
  if (warned_interval_ != found) {
    log(ctx_.sink, "warn", "settings",
        "An incorrect interval is set in DDoS attack detection module: " + found +
            ", the value will be used: " + std::to_string(kDefaultDDoSInterval));
    warned_interval_ = found;
  }
  return kDefaultDDoSInterval;
}

void DDoSM::history_add(const RequestTable& ndfs) {
  for (const RequestRecord& r : ndfs) {
    HistoryRow h{value_key(r.vhost), r.cc};
    HostCountries& c = counts_[h.vhost];
    ++c.rows;
    ++c.cc[h.cc];
    rccdfs_[r.timestamp].push_back(std::move(h));
    ++history_rows_;
  }
}

// Keeps the rows stamped no earlier than the newest one minus `interval`.
void DDoSM::history_trim(std::int64_t interval) {
  if (rccdfs_.empty()) return;
  const std::int64_t bound = rccdfs_.rbegin()->first - interval;
  while (!rccdfs_.empty() && rccdfs_.begin()->first < bound) {
    for (const HistoryRow& h : rccdfs_.begin()->second) {
      auto host = counts_.find(h.vhost);
      auto code = host->second.cc.find(h.cc);
      if (--code->second == 0) host->second.cc.erase(code);
      if (--host->second.rows == 0) counts_.erase(host);
      --history_rows_;
    }
    rccdfs_.erase(rccdfs_.begin());
  }
}

void DDoSM::dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) {
  const LogSink& sink = ctx_.sink;
  try {
    const std::int64_t interval = interval_in_force(*nsi);
    const bool latest_only = py_truthy(nsi->get<Json>("ddos_latest_only"));
    const bool send_possible = py_truthy(nsi->get<Json>("ddos_send_possible"));

    if (clock_->now_s() > lttl_) {
      lttl_ = clock_->now_s() + 30;
      processes_->housekeeping(interval);
      if (sink.debug) {
        log(sink, "debug", "ddos",
            "DDoS analysis: current dataset size: " + std::to_string(dfs_.size()) + " request(s)");
      }
    }
    if (sink.debug && !ndfs.empty()) {
      log(sink, "debug", "ddos", "DDoS analysis: received " + std::to_string(ndfs.size()) + " request(s)");
    }
    if (!ndfs.empty()) {
      try {
        history_add(ndfs);
        dfs_.intake(std::move(ndfs));
      } catch (const std::exception& e) {
        log(sink, "error", "ddos",
            std::string("DDoS analysis: an error occurred while data preprocessing: ") + e.what());
      }
    }
    if (dfs_.empty()) return;
    history_trim(interval);

    std::shared_ptr<const CountryCounts> history;
    dfs_.cut_if_due(clock_->now_s(), interval, [&](RequestWindow w) {
      if (sink.debug) {
        log(sink, "debug", "ddos", "DDoS analysis: processing " + std::to_string(w.size()) + " request(s)");
      }
      if (!history) history = std::make_shared<const CountryCounts>(counts_);
      const std::size_t rows = w.size();
      processes_->submit(rows, [w = std::move(w), history, interval, latest_only, send_possible,
                                env = env_](const std::stop_token& stop) {
        ddos_detection(w, *history, interval, latest_only, send_possible, env, stop);
      });
    });
  } catch (const std::exception& e) {
    log(sink, "error", "ddos",
        std::string("An error occurred while processing data in DDoS attack detection module: ") + e.what());
  }
}

}  // namespace tessel::stormwatch
