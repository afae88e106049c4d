// A service run with DDoS detection on: a flood of identical requests from
// a few addresses, published on the WAF's queue, is reported to the
// management API and on the service's own broker queue.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "core/net/amqp.h"
#include "support/broker.h"
#include "support/mgmt_sim.h"
#include "support/service_run.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

using namespace tessel;
using namespace std::chrono_literals;
namespace tt = tessel::testing;

TEST(DDoSService, FloodIsReportedToTheApiAndTheBrokers) {
  TESSEL_REQUIRE_BROKER();
  tt::TestVhost vhost;
  if (!vhost.ok()) GTEST_SKIP() << "no virtual host of the test's own (TESSEL_RMQCTL)";
  const tt::BrokerAddress b = vhost.address();
  const std::string url = tt::broker_url(b);

  tt::TempDir dir;
  tt::MgmtSim sim;
  svc::RunOptions opts = tt::service_run_options(dir, sim);
  auto stopper = std::make_shared<tt::RunStopper>();
  stopper->done = [&] { return !sim.requests_to("/vx-api/attack").empty(); };
  opts.subsystems.make_oam = [stopper](int, const core::DetectorContext&) { return stopper; };
  opts.subsystems.ml_core = [](const orvik::MlCoreArgs&) {};

  tt::answer_settings(sim, {{"ddos__enable", true}, {"ddos__interval", 2}});
  const std::string conf = tt::write_service_conf(dir, sim, b);

  // The WAF: 200 identical requests a second from three private addresses,
  // beside a little ordinary traffic, for as long as the run lasts.
  {
    tt::WafPublisher waf(
        url,
        [](int batch) {
          std::vector<tt::WafRequest> out;
          for (int i = 0; i < 20; ++i) {
            const int n = batch * 20 + i;
            tt::WafRequest w;
            w.request_id = "r" + std::to_string(n);
            w.ip = n % 10 == 0 ? "198.51.100." + std::to_string(n % 250) : "10.20.0." + std::to_string(n % 3 + 1);
            w.method = "GET";
            w.url = n % 10 == 0 ? "/page/" + std::to_string(n) : "/";
            w.args = "";
            w.body = "";
            out.push_back(std::move(w));
          }
          return out;
        },
        100ms);
    tt::run_service(conf, opts);
  }

  const auto attacks = sim.requests_to("/vx-api/attack");
  ASSERT_FALSE(attacks.empty());
  const Json report = Json::parse(attacks.front()["body"].get<std::string>());
  EXPECT_EQ(report["kind"], 10);
  ASSERT_FALSE(report["rows"].empty());
  const Json& row = report["rows"][0];
  EXPECT_EQ(row["possible"], false);
  EXPECT_EQ(row["description"], "DDoS attack");
  EXPECT_TRUE(row.contains("group_id"));
  EXPECT_EQ(row["url"], "/");
  EXPECT_EQ(row["ip"].get<std::string>().rfind("10.20.0.", 0), 0u);

  // The same finding on the service's own queue: one row per address.
  auto conn = core::AmqpConnection::open(url);
  auto ch = conn->channel();
  core::AmqpMessage msg;
  std::set<std::string> addrs;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (addrs.empty() && std::chrono::steady_clock::now() < deadline) {
    while (ch->get("tessel", msg)) {
      const Json body = Json::parse(msg.body);
      EXPECT_EQ(body["type"], "attack");
      EXPECT_EQ(body["attack_kind"], 10);
      for (const auto& r : body["rows"]) addrs.insert(r["ip"].get<std::string>());
      ch->ack(msg.delivery_tag);
    }
    if (addrs.empty()) std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(addrs.empty());
  for (const auto& a : addrs) EXPECT_EQ(a.rfind("10.20.0.", 0), 0u) << a;
}
