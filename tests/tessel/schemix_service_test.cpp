// A service run with schema generation for one host: JSON API requests of
// the host, published on the WAF's queue, end as a schema upload at the
// management-API simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "schemix/oam.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/runtime/child.h"
#include "support/broker.h"
#include "support/mgmt_sim.h"
#include "support/service_run.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

using namespace tessel;
using namespace std::chrono_literals;
namespace tt = tessel::testing;

TEST(SchemixService, TheSimulatorReceivesTheSchemasOfTheHost) {
  TESSEL_REQUIRE_BROKER();
  tt::TestVhost vhost;
  if (!vhost.ok()) GTEST_SKIP() << "no virtual host of the test's own (TESSEL_RMQCTL)";
  const tt::BrokerAddress b = vhost.address();

  tt::TempDir dir;
  tt::MgmtSim sim;
  const std::string upload = "/vx-api/set_schemix_schema_paths";
  // The real schema host, with an interval of a second; its workers are
  // joined before the test ends.
  std::mutex mu;
  std::vector<ChildPtr> workers;
  svc::RunOptions opts = tt::service_run_options(dir, sim);
  auto stopper = std::make_shared<tt::RunStopper>();
  stopper->done = [&] { return !sim.requests_to(upload).empty(); };
  opts.subsystems.make_oam = [&, stopper](int, const core::DetectorContext& ctx) {
    schemix::OamHooks hooks;
    hooks.start = [&](std::string name, std::function<void()> body) {
      auto child = Child::start(std::move(name), std::move(body));
      std::lock_guard lk(mu);
      workers.push_back(child);
      return child;
    };
    stopper->inner = std::make_shared<schemix::OAM>(1, ctx, hooks);
    return stopper;
  };
  opts.subsystems.ml_core = [](const orvik::MlCoreArgs&) {};

  tt::answer_settings(sim, {{"schemix__vhosts_list", {"shop.example"}}});
  const std::string conf = tt::write_service_conf(dir, sim, b);

  // The WAF: JSON bodies of one shape for two user ids, and requests of
  // another host, a few times a second.
  {
    tt::WafPublisher waf(
        tt::broker_url(b),
        [](int n) {
          std::vector<tt::WafRequest> out;
          auto add = [&](const std::string& host, const std::string& url, const std::string& body) {
            tt::WafRequest w;
            w.request_id = "r" + std::to_string(n) + "-" + std::to_string(out.size());
            w.vhost = host;
            w.url = url;
            w.args = "";
            w.other_headers = "Host: " + host + "\r\nContent-Type: application/json";
            w.body = body;
            out.push_back(std::move(w));
          };
          add("shop.example", "/api/users/17", R"({"name": "a", "age": 3, "tags": []})");
          add("shop.example", "/api/users/18", R"({"age": 4, "tags": [], "name": "b"})");
          add("other.example", "/api/orders/1", R"({"x": 1})");
          return out;
        },
        200ms);
    tt::run_service(conf, opts);
  }
  {
    std::lock_guard lk(mu);
    for (const auto& w : workers) EXPECT_TRUE(w->join(60s));
  }

  const auto reqs = sim.requests_to(upload);
  ASSERT_FALSE(reqs.empty()) << [&] {
    std::ifstream in(dir.file("log/tessel.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  for (const auto& r : reqs) {
    const Json body = json_loads(r["body"].get<std::string>());
    EXPECT_EQ(body["key"], "k1");
    EXPECT_EQ(body["set"]["schema_name"], "shop.example");
    EXPECT_EQ(body["set"]["url"], "/api/users/{integer}");
  }
  EXPECT_EQ(
      reqs[0]["schema"],
      json_loads(R"({"shop.example": {"/api/users/{integer}": {"post": {"requestBody": {"content": {"*/*": {"schema":
              {"properties": {"age": {"type": "integer"}, "name": {"type": "string"},
                              "tags": {"items": {"type": ["boolean", "number", "string"]}, "type": "array"}},
               "required": ["age", "name", "tags"], "type": "object"}}}}}}}})"));
}
