// Schema generation over replayed WAF traffic against the management-API
// simulator: the lists come from the simulator, the requests pass the intake
// normaliser, the host starts its worker and the simulator receives the
// schemas.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/data/request_data.h"
#include "ingestor/ingestor.h"
#include "schemix/oam.h"
#include "schemix/schemix_settings.h"
#include "shared/pyvalues/pyjson.h"
#include "support/api_context.h"
#include "support/log_capture.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

namespace tessel::schemix {
namespace {

RequestRecord replayed(const std::string& vhost, const std::string& method, const std::string& url,
                       const std::string& body, const LogSink& sink) {
  testing::WafRequest w;
  w.vhost = vhost;
  w.method = method;
  w.url = url;
  w.args = "";
  w.other_headers = "Host: " + vhost + "\r\nContent-Type: application/json";
  w.body = body;
  auto r = ingestor::request_record_from_message(testing::waf_message(w), core::B64Whitelist{}, sink);
  EXPECT_TRUE(r.has_value());
  r->extras["schema_name"] = "";
  return std::move(*r);
}

TEST(SchemaGenerationRun, TheSimulatorReceivesTheSchemasOfReplayedTraffic) {
  testing::MgmtSim sim;
  sim.set_api_answer("/get_schemix_exclude_paths",
                     {{"body", {{"exclude_paths", {{{"schema_name", "*.shop.test"}, {"url", "/api/skip"}}}}}}});
  testing::TempDir dir;
  testing::LogCapture logs;
  const core::ApiContext api = testing::api_context("k1");

  Json hashes = Json::object();
  auto [url, exclude, out] = schemix_settings_get(hashes, sim.api_url("/get_schemix_"), dir.str(), api, logs.sink());
  EXPECT_EQ(exclude, json_loads(R"(["*.shop.test/api/skip"])"));
  EXPECT_EQ(out.size(), 2u);
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("schemix_vhosts_list", json_loads(R"(["*.shop.test"])"));
  nsi->set("schemix_url", url);
  nsi->set("schemix_exclude_paths", exclude);
  nsi->set("schemix_schemas_list", Json::array());

  // the host shuffles what it gathers: both bodies of the endpoint have one shape
  RequestTable traffic = {
      replayed("api.shop.test", "POST", "/api/users/17", R"({"name": "a", "age": 3, "tags": []})", logs.sink()),
      replayed("api.shop.test", "POST", "/api/users/18", R"({"age": 4, "tags": [], "name": "b"})", logs.sink()),
      replayed("api.shop.test", "PUT", "/api/skip", R"({"secret": 1})", logs.sink()),
      replayed("api.shop.test", "GET", "/api/users/17", "", logs.sink()),
      replayed("other.test", "POST", "/api/users/17", R"({"x": 1})", logs.sink()),
  };
  core::DetectorContext ctx;
  ctx.sink = logs.sink();
  ctx.api = api;
  ctx.endpoints.set_schemix_schema_path_url = sim.api_url("/set_schemix_schema_paths");
  std::int64_t clock = 1000;
  OamHooks hooks;
  hooks.clock = [&clock] { return clock; };
  OAM host(180, ctx, hooks);
  host.dfs_processing(nsi, traffic);
  clock += 181;
  host.dfs_processing(nsi, {});

  const std::string upload = "/vx-api/set_schemix_schema_paths";
  for (int i = 0; i < 1000 && sim.requests_to(upload).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 1000 && host.workers() > 0; ++i) {
    clock += 31;
    host.dfs_processing(nsi, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto reqs = sim.requests_to(upload);
  ASSERT_EQ(reqs.size(), 1u);
  const Json body = json_loads(reqs[0]["body"].get<std::string>());
  EXPECT_EQ(body["key"], "k1");
  EXPECT_EQ(body["set"]["schema_name"], "*.shop.test");
  EXPECT_EQ(body["set"]["url"], "/api/users/{integer}");
  EXPECT_EQ(
      reqs[0]["schema"],
      json_loads(R"({"*.shop.test": {"/api/users/{integer}": {"post": {"requestBody": {"content": {"*/*": {"schema":
              {"properties": {"age": {"type": "integer"}, "name": {"type": "string"},
                              "tags": {"items": {"type": ["boolean", "number", "string"]}, "type": "array"}},
               "required": ["age", "name", "tags"], "type": "object"}}}}}}}})"));
  EXPECT_EQ(nsi->get<Json>("schemix_schemas_list").size(), 1u);
}

}  // namespace
}  // namespace tessel::schemix
