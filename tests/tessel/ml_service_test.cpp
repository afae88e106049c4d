// A service run with machine-learning detection on for a trained host with
// models in place: a request with an SQL injection among ordinary ones,
// published on the WAF's queue, is flagged and reported to the management
// API's "/attack".
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "core/data/hosts.h"
#include "orvik/classify/classify_fixture.h"
#include "support/broker.h"
#include "support/mgmt_sim.h"
#include "support/service_run.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

using namespace tessel;
using namespace std::chrono_literals;
namespace tt = tessel::testing;

namespace {

const char* const kHost = "shop.example";

// The request ids of the reported rows of `kHost`.
std::set<std::string> reported_ids(const tt::MgmtSim& sim) {
  std::set<std::string> ids;
  for (const auto& r : sim.requests_to("/vx-api/attack")) {
    const Json report = Json::parse(r["body"].get<std::string>());
    for (const auto& row : report["rows"])
      if (row.value("vhost", "") == kHost) ids.insert(row.value("request_id", ""));
  }
  return ids;
}

}  // namespace

TEST(MlService, SqlInjectionInReplayedTrafficIsReportedToTheApi) {
  TESSEL_REQUIRE_BROKER();
  tt::TestVhost vhost;
  if (!vhost.ok()) GTEST_SKIP() << "no virtual host of the test's own (TESSEL_RMQCTL)";
  const tt::BrokerAddress b = vhost.address();
  const std::string url = tt::broker_url(b);

  tt::TempDir dir;
  // The management API counts the host's training as complete.
  tt::write_file(dir.file("training.json"),
                 Json::array({{{"vhost", kHost}, {"complete", true}, {"duration", 4}}}).dump());
  tt::MgmtSim sim({"--training", dir.file("training.json")});
  svc::RunOptions opts = tt::service_run_options(dir, sim);
  orvik::testing::write_models(opts.models_root, kHost);

  auto stopper = std::make_shared<tt::RunStopper>();
  stopper->cap = 60s;
  auto flagged = [&] {
    for (const auto& id : reported_ids(sim))
      if (id.rfind("sqli-", 0) == 0) return true;
    return false;
  };
  stopper->done = flagged;
  opts.subsystems.make_oam = [stopper](int, const core::DetectorContext&) { return stopper; };
  opts.subsystems.ml_core = [](const orvik::MlCoreArgs&) {};

  tt::answer_settings(sim, {{"main__ai_extra", true}}, Json::array({kHost}));
  const std::string conf = tt::write_service_conf(dir, sim, b);

  // The WAF: ordinary requests of the host with one SQL injection in the
  // arguments among them, a batch a few times a second for as long as the
  // run lasts.
  {
    tt::WafPublisher waf(
        url,
        [](int n) {
          std::vector<tt::WafRequest> out;
          auto add = [&](const std::string& id, const std::string& args) {
            tt::WafRequest w;
            w.request_id = id;
            w.vhost = kHost;
            w.method = "GET";
            w.url = "/shop/cart";
            w.args = args;
            w.cookie = "";
            w.ua = "Mozilla/5.0 (X11; Linux x86_64)";
            w.referer = "";
            w.other_headers = "";
            w.body = "";
            out.push_back(std::move(w));
          };
          for (const char* args : {"id=15", "page=2", "sort=name"}) add("normal-" + std::to_string(n) + args, args);
          add("sqli-" + std::to_string(n), "' or 1=1 --");
          return out;
        },
        200ms);
    tt::run_service(conf, opts);
  }

  ASSERT_TRUE(flagged());
  const Json report = Json::parse(sim.requests_to("/vx-api/attack").front()["body"].get<std::string>());
  EXPECT_EQ(report["kind"], 8);
  for (const auto& row : report["rows"]) {
    EXPECT_EQ(row["vhost"], kHost);
    EXPECT_EQ(row["possible"], false);
  }
  for (const auto& id : reported_ids(sim)) EXPECT_EQ(id.rfind("sqli-", 0), 0u) << id;
}
