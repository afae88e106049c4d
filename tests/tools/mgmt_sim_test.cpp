#include <gtest/gtest.h>
#include <httplib.h>

#include "support/mgmt_sim.h"

using namespace tessel;
using tessel::testing::MgmtSim;

TEST(MgmtSim, AnswersFromTheDefaultSetAndOverrides) {
  MgmtSim sim;
  httplib::Client cli("127.0.0.1", sim.port());

  auto r = cli.Post("/vx-api/v2/get_tessel_settings", R"({"key": "k"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  auto body = Json::parse(r->body);
  EXPECT_EQ(body["status"], "success");
  EXPECT_TRUE(body["settings"].contains("ddos__enable"));

  r = cli.Post("/vx-api/set_models_uri", "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202);

  r = cli.Get("/vx/ml/dataset/get_bl_uri");
  ASSERT_TRUE(r);
  EXPECT_TRUE(Json::parse(r->body).contains("attacks"));

  sim.set_api_answer("/get_tessel_settings_hash", {{"status_code", 503}, {"body_text", "down"}});
  r = cli.Post("/vx-api/get_tessel_settings_hash", "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_EQ(r->body, "down");

  for (const char* path : {"/vx-api/no_such_endpoint", "/vx-api/../vx/ml/dataset/get_bl_uri", "/vx-api/", "/other"}) {
    r = cli.Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 404) << path;
  }
}

TEST(MgmtSim, RecordsEveryRequest) {
  MgmtSim sim;
  httplib::Client cli("127.0.0.1", sim.port());
  httplib::Headers headers = {{"User-Agent", "tester"}, {"Cookie", "key=k1"}};
  ASSERT_TRUE(cli.Post("/vx-api/set_event?x=1", headers, R"({"events": []})", "application/json"));
  ASSERT_TRUE(cli.Post("/vx-api/attack", std::string("\xff\x00", 2), "application/octet-stream"));

  auto reqs = sim.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0]["method"], "POST");
  EXPECT_EQ(reqs[0]["path"], "/vx-api/set_event");
  EXPECT_EQ(reqs[0]["query"], "x=1");
  EXPECT_EQ(reqs[0]["headers"]["User-Agent"], "tester");
  EXPECT_EQ(reqs[0]["headers"]["Cookie"], "key=k1");
  EXPECT_EQ(reqs[0]["body"], R"({"events": []})");
  EXPECT_EQ(reqs[1]["body_base64"], "/wA=");
  EXPECT_EQ(sim.requests_to("/vx-api/attack").size(), 1u);
}
