#include "core/base/log.h"
#include "core/data/request_data.h"
#include "core/workers/router.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

namespace {

// The records of a batch, each item made a message by `message` (nothing
// for an item already logged and skipped), to one request table for the
// data router.
template <typename Batch, typename ToMessage>
void normalise(const std::shared_ptr<SharedNamespace>& nsi, Batch& data, ToMessage message, const RouteTarget& route,
               const LogSink& sink) {
  try {
    const core::B64Whitelist b64wl = core::b64wl_load(nsi->get<Json>("tessel_b64wl_db").get<std::string>(), sink);
    RequestTable result;
    result.reserve(data.size());
    for (auto& item : data) {
      std::optional<Json> msg = message(item);
      if (!msg) continue;
      try {
        if (auto r = request_record_from_message(std::move(*msg), b64wl, sink)) {
          result.push_back(std::move(*r));
        }
      } catch (const std::exception& e) {
        core::log_processing(sink, "error", "rabbitmq",
                             std::string("An error occurred while processing the data from RabbitMQ: ") + e.what());
      }
      // The rest of the message is freed here, on the thread that made it.
    }
    if (result.empty()) return;
    const core::RouterLists lists{
        .schemix_vhosts_list = nsi->get<Json>("schemix_vhosts_list"),
        .bf_wl_ip_list = nsi->get<Json>("bf_wl_ip_list"),
        .bf_wl_host_list = nsi->get<Json>("bf_wl_host_list"),
        .ddos_wl_ip_list = nsi->get<Json>("ddos_wl_ip_list"),
        .ddos_wl_url_list = nsi->get<Json>("ddos_wl_url_list"),
        .bf_dfs_schema = nsi->get<Json>("bf_dfs_schema"),
        .brute_dfs_schema = nsi->get<Json>("brute_dfs_schema"),
        .flood_dfs_schema = nsi->get<Json>("flood_dfs_schema"),
    };
    core::vexa_data_processing(std::move(result), *route.q_local, route.detectors, route.mlvh_list, lists, sink);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", std::string("An error occurred in vexa_data_normalization: ") + e.what());
  }
}

}  // namespace

void vexa_data_normalization(const std::shared_ptr<SharedNamespace>& nsi, RequestMessages data,
                             const RouteTarget& route, const LogSink& sink) {
  auto take = [](Json& msg) { return std::optional<Json>(std::move(msg)); };
  normalise(nsi, data, take, route, sink);
}

void normalise_request_bodies(const std::shared_ptr<SharedNamespace>& nsi, RequestBodies data, const RouteTarget& route,
                              const LogSink& sink) {
  auto parse = [&](std::string_view body) { return parse_request_body(body, sink); };
  normalise(nsi, data, parse, route, sink);
}

}  // namespace tessel::ingestor
