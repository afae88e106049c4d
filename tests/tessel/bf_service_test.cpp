// A service run with brute-force detection on: password guessing against a
// log-in target named by a rule, replayed to the broker, ends as an attack
// report at the management-API simulator and as a message on the service's
// own broker queue.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "core/net/amqp.h"
#include "support/broker.h"
#include "support/mgmt_sim.h"
#include "support/service_run.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

using namespace tessel;
using namespace std::chrono_literals;

TEST(BfService, PasswordGuessingIsReportedToTheSimulatorAndTheBroker) {
  TESSEL_REQUIRE_BROKER();
  tessel::testing::TestVhost vhost;
  if (!vhost.ok()) GTEST_SKIP() << "no virtual host of the test's own";
  const tessel::testing::BrokerAddress addr = vhost.address();
  const std::string url = tessel::testing::broker_url(addr);

  tessel::testing::TempDir dir;
  tessel::testing::MgmtSim sim;
  tessel::testing::answer_settings(sim, {{"brute__enable", true}, {"brute__interval", 2}, {"brute__max_val", 10}});

  // Twelve guesses of one address at the log-in target, replayed first.
  const std::string traffic = dir.file("guesses.jsonl");
  {
    std::ofstream out(traffic);
    for (int i = 0; i < 12; ++i) {
      tessel::testing::WafRequest w;
      w.request_id = "guess-" + std::to_string(i);
      w.url = "/login";
      w.args = "";
      w.body = "user=admin&password=secret" + std::to_string(i);
      out << tessel::testing::waf_message(w).dump() << "\n";
    }
  }
  const std::string replay = std::string(TESSEL_BINARY_DIR) + "/bin/tessel-replay --url '" + url + "' --queue vexa '" +
                             traffic + "' > /dev/null";
  ASSERT_EQ(std::system(replay.c_str()), 0);

  const std::string rules = dir.file("brute.rules");
  std::ofstream(rules) << "shop.example/login body\n";
  svc::RunOptions opts = tessel::testing::service_run_options(dir, sim);
  opts.loop_pause = 100ms;
  const std::string conf =
      tessel::testing::write_service_conf(dir, sim, addr, true, "[brute]\nbrute_detect = " + rules + "\n");

  auto stopper = std::make_shared<tessel::testing::RunStopper>();
  stopper->done = [&] { return !sim.requests_to("/vx-api/attack").empty(); };
  stopper->cap = 60s;
  opts.subsystems.make_oam = [stopper](int, const core::DetectorContext&) { return stopper; };
  tessel::testing::run_service(conf, opts);

  const auto attacks = sim.requests_to("/vx-api/attack");
  ASSERT_EQ(attacks.size(), 1u) << [&] {
    std::ifstream in(dir.file("log/tessel.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const Json body = Json::parse(attacks[0]["body"].get<std::string>());
  EXPECT_EQ(body["kind"], 7);
  ASSERT_EQ(body["rows"].size(), 12u);
  for (const auto& row : body["rows"]) {
    EXPECT_EQ(row["possible"], false);
    EXPECT_EQ(row["description"], "Brute-force");
    EXPECT_EQ(row["mz"], "BODY");
    EXPECT_EQ(row["group_id"], "guess-11");
    EXPECT_FALSE(row.contains("jbody"));
    EXPECT_FALSE(row.contains("cc"));
  }

  // The brokers get the address's last request.
  auto conn = core::AmqpConnection::open(url);
  auto ch = conn->channel();
  core::AmqpMessage msg;
  bool got = false;
  for (int i = 0; i < 100 && !(got = ch->get("tessel", msg)); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(got);
  const Json published = Json::parse(msg.body);
  EXPECT_EQ(published["attack_kind"], 7);
  ASSERT_EQ(published["rows"].size(), 1u);
  EXPECT_EQ(published["rows"][0]["request_id"], "guess-11");
}
