#include "support/mgmt_sim.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/temp_dir.h"

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

TEST(MgmtSim, TrainingExchangesKeepState) {
  tessel::testing::TempDir dir;
  tessel::testing::write_file(dir.file("datasets.jsonl"),
                              "{\"zone\": \"args\", \"value\": \"' or 1=1\", \"kind\": \"sqli\"}\n"
                              "{\"zone\": \"ua\", \"value\": \"bot's\", \"kind\": \"whitelist\"}\n");
  tessel::testing::write_file(dir.file("training.json"), R"([{"vhost": "a.com", "complete": false, "duration": 0.5}])");
  MgmtSim sim({"--datasets", dir.file("datasets.jsonl"), "--training", dir.file("training.json")});
  httplib::Client cli("127.0.0.1", sim.port());

  auto r = cli.Post("/vx-api/v2/get_training_uri", "key=k&vhost=a.com", "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  EXPECT_EQ(Json::parse(r->body)["training"][0]["duration"], 0.5);
  r = cli.Post("/vx-api/set_training_progress_uri", "key=k&vhost=a.com&progress=40",
               "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  r = cli.Post("/vx-api/v2/set_training_uri", R"({"key": "k", "vhost": "a.com", "complete": true})",
               "application/json");
  ASSERT_TRUE(r);
  r = cli.Post("/vx-api/set_models_uri", R"({"vhost": "a.com", "hash": "h1", "model": "UEs="})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202);

  // A node without the models gets them; one with the same digest does not.
  r = cli.Post("/vx-api/get_models_uri", "e30=", "text/plain");  // {}
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202);
  EXPECT_EQ(r->body, "UEs=");
  r = cli.Post("/vx-api/get_models_uri", "eyJhLmNvbSI6ICJoMSJ9", "text/plain");  // {"a.com": "h1"}
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 304);

  const Json state = Json::parse(sim.get("/vx-api/sim/state"));
  EXPECT_EQ(state["training"][0]["complete"], true);
  EXPECT_EQ(state["progress"]["a.com"], "40");
  EXPECT_EQ(state["models"]["a.com"], "h1");

  r = cli.Get("/vx/ml/dataset/get_bl_uri");
  ASSERT_TRUE(r);
  EXPECT_EQ(Json::parse(r->body)["attacks"], Json::array({"' or 1=1"}));
  r = cli.Get("/vx/ml/dataset/get_wl_uri");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "eyd1YSc6IFsnYm90XCdzJ119");  // {'ua': ['bot\'s']}

  // An answer file of the test wins over the state.
  sim.set_api_answer("/get_models_uri", {{"status_code", 500}, {"body_text", ""}});
  r = cli.Post("/vx-api/get_models_uri", "e30=", "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
}

TEST(MgmtSim, SchemaListsWithHashesAndRecordedUploads) {
  MgmtSim sim;
  httplib::Client cli("127.0.0.1", sim.port());
  auto hash = [&](const char* list) {
    auto r =
        cli.Post((std::string("/vx-api/get_schemix_") + list + "_hash").c_str(), R"({"key": "k"})", "application/json");
    EXPECT_TRUE(r && r->status == 200);
    const Json body = Json::parse(r->body);
    EXPECT_EQ(body["status"], "success");
    return body["hash"].get<std::string>();
  };
  const std::string url_hash = hash("url"), exclude_hash = hash("exclude_paths");
  EXPECT_EQ(url_hash, hash("url"));
  sim.set_api_answer("/get_schemix_url", {{"body", {{"url", {"h/x"}}}}});
  EXPECT_NE(hash("url"), url_hash);
  EXPECT_EQ(hash("exclude_paths"), exclude_hash);

  // "eyJoIjogMX0=" is the base64 of {"h": 1}
  ASSERT_TRUE(cli.Post("/vx-api/set_schemix_schema_paths",
                       R"({"key": "k", "set": {"schema_name": "h", "url": "/p", "schema": "eyJoIjogMX0="}})",
                       "text/plain"));
  const auto reqs = sim.requests_to("/vx-api/set_schemix_schema_paths");
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0]["schema"], Json({{"h", 1}}));
}
