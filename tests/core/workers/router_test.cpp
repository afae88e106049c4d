#include "core/workers/router.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shared/runtime/log_sink.h"
#include "support/waf_messages.h"

namespace tessel::core {
namespace {

RequestRecord row(const char* ip, const char* vhost, const char* url) {
  RequestRecord r;
  r.id = std::string(32, 'a');
  r.ip = ip;
  r.vhost = vhost;
  r.url = url;
  r.body = "user=alice";
  return r;
}

TEST(Router, EachDetectorGetsItsRows) {
  LocalQueue q_local;
  auto q_ec_ptr = std::make_shared<EventQueue>();
  auto log_ptr = std::make_shared<Logger>("intake-test");
  EventQueue& q_ec = *q_ec_ptr;
  const LogSink sink{q_ec_ptr, log_ptr, false};
  const Json brute = Json::parse(R"([{"vhost": "*", "url": "/login*", "zones": ["body"]}])");
  const Json flood = Json::parse(R"([{"vhost": "shop.example", "url": "*"}])");
  RequestTable t = {row("10.1.2.3", "shop.example", "/login"), row("192.0.2.1", "shop.example", "/static/a.css"),
                    row("192.0.2.2", "blog.example", "/login"), row("192.0.2.3", "shop.example", "/health")};
  vexa_data_processing(t, q_local, {.ddos = true, .bf = true}, {"shop.example"},
                       {.schemix_vhosts_list = Json::array({"shop.example"}),
                        .bf_wl_ip_list = Json::array({"192.0.2.2"}),
                        .bf_wl_host_list = Json::array(),
                        .ddos_wl_ip_list = Json::array({"10.0.0.0/8"}),
                        .ddos_wl_url_list = Json::array({"/static/*", "/health"}),
                        .bf_dfs_schema = Json::array(),
                        .brute_dfs_schema = brute,
                        .flood_dfs_schema = flood},
                       sink);
  auto items = q_local.drain();
  ASSERT_EQ(items.size(), 1u);
  const LocalBatch& b = items[0];
  ASSERT_EQ(b.table.size(), 4u);
  EXPECT_EQ(b.table[2].ip, "192.0.2.2");
  // DDoS: not 10.1.2.3 (range), not /static/a.css or /health (URLs).
  EXPECT_EQ(b.ddos_rows, (std::vector<std::size_t>{2}));
  // BF: /login of shop.example twice (brute and flood); blog.example's
  // address is white-listed; the other shop rows as flood candidates.
  std::vector<std::string> bf;
  for (const auto& r : b.bf_table) {
    bf.push_back(r.url + " " + r.extras["flood_detect"].dump() + " " + r.extras["zone_detect"].get<std::string>());
  }
  EXPECT_THAT(bf, ::testing::ElementsAre("/login 0 body", "/login 1 url", "/static/a.css 1 url", "/health 1 url"));
  EXPECT_TRUE(b.schemix);
  EXPECT_TRUE(q_ec.empty());

  // Detection off: the table alone.
  vexa_data_processing(t, q_local, {.ddos = false, .bf = false}, {},
                       {.schemix_vhosts_list = Json::array(),
                        .bf_wl_ip_list = Json::array(),
                        .bf_wl_host_list = Json::array(),
                        .ddos_wl_ip_list = Json::array(),
                        .ddos_wl_url_list = Json::array(),
                        .bf_dfs_schema = Json::array(),
                        .brute_dfs_schema = brute,
                        .flood_dfs_schema = flood},
                       sink);
  items = q_local.drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].table.size(), 4u);
  EXPECT_TRUE(items[0].ddos_rows.empty());
  EXPECT_TRUE(items[0].bf_table.empty());
  EXPECT_FALSE(items[0].schemix);
}

}  // namespace
}  // namespace tessel::core
