#include "core/workers/feeder.h"

#include <set>

#include "core/base/log.h"

namespace tessel::core {

void mp_queue_size_report(std::size_t size, std::string_view name, const LogSink& sink) {
  if (sink.debug)
    log_processing(sink, "debug", "misc", "Queue " + std::string(name) + " size: " + std::to_string(size));
  if (size > kQueueSizeWarning) {
    log_processing(sink, "warn", "misc", "Queue " + std::string(name) + " holds " + std::to_string(size) + " items");
  }
}

namespace {

template <class F>
void guarded(const char* what, const LogSink& sink, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    log_processing(sink, "error", "misc",
                   std::string("An error occurred in local_queue_processing (") + what + "): " + e.what());
  }
}

}  // namespace

namespace {

void append(RequestTable& to, RequestTable&& from) {
  if (to.empty()) {
    to = std::move(from);
  } else {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  }
}

// Fills the empty countries of a table; collects the addresses the country
// data does not know.
void fill_countries(RequestTable& table, const GeoData& cc_data, std::set<std::string>& unknown) {
  for (auto& r : table) {
    if (!r.cc.empty() || !r.ip.is_string()) continue;
    const auto& ip = r.ip.get_ref<const std::string&>();
    r.cc = cc_data.country(ip);
    if (r.cc.empty()) unknown.insert(ip);
  }
}

// The columns of a row that schema generation reads; "schema_name" is ""
// when the row has none.
RequestRecord schema_columns(const RequestRecord& r) {
  RequestRecord s;
  s.request_id = r.request_id;
  s.vhost = r.vhost;
  s.url = r.url;
  s.method = r.method;
  s.content_type = r.content_type;
  if (r.jbody.empty()) {
    s.body = r.body;
  } else {
    s.jbody = r.jbody;
  }
  const auto it = r.extras.find("schema_name");
  s.extras["schema_name"] = it == r.extras.end() ? Json("") : *it;
  return s;
}

}  // namespace

void local_queue_processing(const FeederContext& ctx, const FeederDetectors& detectors, LocalQueue& q_local,
                            EventQueue& q_geoip) {
  const GeoData& cc_data = ctx.cc_data;
  const LogSink& sink = ctx.sink;
  const bool ddos = detectors.on.ddos && detectors.ddos;
  const bool bf = detectors.on.bf && detectors.bf;
  const bool oa = detectors.oa != nullptr;
  // The requests of every batch since the last call, per detector.
  RequestTable table, ddos_table, bf_table, oa_table;
  std::set<std::string> unknown;
  auto batches = q_local.drain();
  std::size_t ddos_rows = 0, oa_rows = 0;
  for (const auto& batch : batches) {
    ddos_rows += batch.ddos_rows.size();
    if (batch.schemix) oa_rows += batch.table.size();
  }
  if (ddos) ddos_table.reserve(ddos_rows);
  if (oa) oa_table.reserve(oa_rows);
  for (auto& batch : batches) {
    fill_countries(batch.table, cc_data, unknown);
    fill_countries(batch.bf_table, cc_data, unknown);
    if (ddos) {
      for (const std::size_t i : batch.ddos_rows)
        if (i < batch.table.size()) ddos_table.push_back(batch.table[i]);
    }
    if (bf) append(bf_table, std::move(batch.bf_table));
    if (batch.schemix && oa) {
      for (const auto& r : batch.table) oa_table.push_back(schema_columns(r));
    }
    append(table, std::move(batch.table));
  }
  if (!unknown.empty()) {
    Json ips = Json::array();
    for (const auto& ip : unknown) ips.push_back(ip);
    q_geoip.put(Json{{"ips", std::move(ips)}});
  }

  if (ddos) guarded("ddos", sink, [&] { detectors.ddos->dfs_processing(ctx.nsi, std::move(ddos_table)); });
  if (bf) guarded("bf", sink, [&] { detectors.bf->dfs_processing(ctx.nsi, std::move(bf_table)); });
  if (detectors.ml) {
    guarded("ml", sink, [&] { detectors.ml->dfs_processing(ctx.nsg, ctx.db_processing_lock, std::move(table)); });
  }
  if (oa) guarded("schemix", sink, [&] { detectors.oa->dfs_processing(ctx.nsi, std::move(oa_table)); });
}

void geoip2memc(const std::shared_ptr<EventQueue>& q_geoip, const std::shared_ptr<const GeoReference>& geo,
                const std::string& geo_token, const ApiContext& api, const LogSink& sink, const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    try {
      auto item = q_geoip->get(std::chrono::milliseconds(250));
      if (!item || !item->is_object()) continue;
      const Json ips = item->value("ips", Json::array());
      if (ips.is_array() && !ips.empty()) get_geoip(*geo, ips, geo_token, api, sink);
    } catch (const std::exception& e) {
      log_processing(sink, "error", "misc", std::string("An error occurred in geoip2memc: ") + e.what());
    }
  }
}

}  // namespace tessel::core
