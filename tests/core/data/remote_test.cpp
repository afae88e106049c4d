#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "core/data/hosts.h"
#include "core/data/refdata.h"
#include "core/data/request_data.h"
#include "core/data/settings.h"
#include "shared/pyvalues/base64.h"
#include "support/api_context.h"
#include "support/log_capture.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::api_context;
using namespace tessel::core;
using tessel::testing::LogCapture;
using tessel::testing::MgmtSim;
using tessel::testing::read_file;
using tessel::testing::ScopedEnv;
using tessel::testing::TempDir;
using tessel::testing::write_file;

namespace {

const std::string kDown = "http://127.0.0.1:1/vx-api";  // nothing listens there
const Json kHeaders = {{"User-Agent", "Corvane AI TESSEL Service (test)"}};

Json settings_answer(const std::string& hash, const Json& settings) {
  return {{"body", {{"status", "success"}, {"hash", hash}, {"settings", settings}}}};
}

bool any_starts_with(const std::vector<std::string>& events, const std::string& prefix) {
  for (const auto& e : events)
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

}  // namespace

TEST(Settings, FetchedCachedAndKeptWhenTheApiIsDown) {
  MgmtSim sim;
  LogCapture lc;
  TempDir dir;
  const std::string db = dir.file("settings.db");
  const Json settings = {{"ddos__enable", true},
                         {"ddos__interval", 60},
                         {"brute__enable", false},
                         {"main__ai_extra", true},
                         {"schemix__vhosts_list", Json::array({"a.com"})}};
  sim.set_api_answer("/get_tessel_settings_hash", {{"body", {{"status", "success"}, {"hash", "h1"}}}});
  sim.set_api_answer("/v2/get_tessel_settings", settings_answer("h1", settings));

  EXPECT_EQ(asa_settings_get_hash(sim.api_url("/get_tessel_settings_hash"), api_context("k1", kHeaders), lc.sink(true)),
            "h1");
  EXPECT_EQ(lc.take(), std::vector<std::string>{"debug/settings: Corvane AI TESSEL settings hash: h1"});
  EXPECT_TRUE(asa_settings_get(db, sim.api_url("/v2/get_tessel_settings"), api_context("k1", kHeaders), lc.sink()));
  auto [loaded, wo_otf] = asa_settings_load(db, lc.sink());
  EXPECT_EQ(loaded, settings);
  EXPECT_EQ(wo_otf, (Json{{"ddos__enable", true}, {"brute__enable", false}, {"main__ai_extra", true}}));
  EXPECT_EQ(asa_settings_stored_hash(db), "h1");
  EXPECT_TRUE(lc.take().empty());

  // what went on the wire
  auto reqs = sim.requests_to("/vx-api/v2/get_tessel_settings");
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0]["method"], "POST");
  EXPECT_EQ(Json::parse(reqs[0]["body"].get<std::string>()), (Json{{"key", "k1"}}));
  EXPECT_EQ(reqs[0]["headers"]["Content-Type"], "application/json");
  EXPECT_EQ(reqs[0]["headers"]["User-Agent"], "Corvane AI TESSEL Service (test)");

  // the API cannot be reached: nothing raised, "network" lines, the copy serves
  const std::string before = read_file(db);
  EXPECT_EQ(asa_settings_get_hash(kDown + "/get_tessel_settings_hash", api_context("k1", kHeaders), lc.sink()), "");
  EXPECT_FALSE(asa_settings_get(db, kDown + "/v2/get_tessel_settings", api_context("k1", kHeaders), lc.sink()));
  auto events = lc.take();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.rfind("error/network: An error occurred while receiving data from " + kDown, 0), 0u) << e;
    EXPECT_NE(e.find("ConnectionError"), std::string::npos) << e;
  }
  EXPECT_EQ(read_file(db), before);
  EXPECT_EQ(asa_settings_load(db, lc.sink()).first, settings);
}

TEST(Settings, MalformedRepliesLeaveTheCopy) {
  MgmtSim sim;
  LogCapture lc;
  TempDir dir;
  const std::string db = dir.file("settings.db"), url = sim.api_url("/v2/get_tessel_settings");
  sim.set_api_answer("/v2/get_tessel_settings", settings_answer("h1", {{"ddos__enable", true}}));
  ASSERT_TRUE(asa_settings_get(db, url, api_context("k", kHeaders), lc.sink()));
  const std::string cached = read_file(db);

  const Json answers[] = {
      {{"body_text", "{not json"}},
      {{"body", Json::array({1, 2})}},
      {{"body", {{"status", "error"}, {"description", "bad key"}}}},
      {{"body", {{"status", "success"}, {"hash", "h2"}}}},
      {{"body", {{"status", "success"}, {"hash", "h2"}, {"settings", Json::array()}}}},
      {{"status_code", 500}, {"body", {{"status", "success"}, {"settings", Json::object()}}}},
  };
  for (const auto& a : answers) {
    sim.set_api_answer("/v2/get_tessel_settings", a);
    EXPECT_FALSE(asa_settings_get(db, url, api_context("k", kHeaders), lc.sink())) << a;
    auto events = lc.take();
    ASSERT_EQ(events.size(), 1u) << a;
    EXPECT_EQ(events[0].rfind("error/api: An error occurred while receiving data from " + url + ": ", 0), 0u)
        << events[0];
    EXPECT_EQ(read_file(db), cached) << a;
  }
  // "none": nothing to store, nothing wrong
  sim.set_api_answer("/v2/get_tessel_settings", {{"body", {{"status", "none"}}}});
  EXPECT_FALSE(asa_settings_get(db, url, api_context("k", kHeaders), lc.sink()));
  EXPECT_TRUE(lc.take().empty());
  EXPECT_EQ(read_file(db), cached);
}

TEST(Settings, AChangedHashTriggersANewDownload) {
  MgmtSim sim;
  LogCapture lc;
  TempDir dir;
  const std::string db = dir.file("settings.db"), hash_url = sim.api_url("/get_tessel_settings_hash"),
                    url = sim.api_url("/v2/get_tessel_settings");
  auto serve = [&](const std::string& hash, const Json& settings) {
    sim.set_api_answer("/get_tessel_settings_hash", {{"body", {{"status", "success"}, {"hash", hash}}}});
    sim.set_api_answer("/v2/get_tessel_settings", settings_answer(hash, settings));
  };
  serve("h1", {{"brute__max_val", 10}});
  auto u = asa_settings_update(db, hash_url, url, api_context("k", kHeaders), "", lc.sink());
  EXPECT_TRUE(u.downloaded);
  EXPECT_EQ(u.hash, "h1");

  u = asa_settings_update(db, hash_url, url, api_context("k", kHeaders), "h1", lc.sink());
  EXPECT_FALSE(u.downloaded);
  EXPECT_EQ(u.hash, "h1");
  EXPECT_EQ(sim.requests_to("/vx-api/v2/get_tessel_settings").size(), 1u);

  serve("h2", {{"brute__max_val", 20}});
  u = asa_settings_update(db, hash_url, url, api_context("k", kHeaders), "h1", lc.sink());
  EXPECT_TRUE(u.downloaded);
  EXPECT_EQ(u.hash, "h2");
  EXPECT_EQ(asa_settings_load(db, lc.sink()).first, (Json{{"brute__max_val", 20}}));

  // a new hash whose settings cannot be fetched keeps the old hash, so the
  // next pass tries again
  sim.set_api_answer("/get_tessel_settings_hash", {{"body", {{"status", "success"}, {"hash", "h3"}}}});
  sim.set_api_answer("/v2/get_tessel_settings", {{"status_code", 503}, {"body_text", ""}});
  u = asa_settings_update(db, hash_url, url, api_context("k", kHeaders), "h2", lc.sink());
  EXPECT_FALSE(u.downloaded);
  EXPECT_EQ(u.hash, "h2");
  EXPECT_EQ(asa_settings_stored_hash(db), "h2");
}

TEST(Settings, MissingOrDamagedCopyLoadsEmpty) {
  LogCapture lc;
  TempDir dir;
  auto [s, w] = asa_settings_load(dir.file("settings.db"), lc.sink());
  EXPECT_EQ(s, Json::object());
  EXPECT_EQ(w, Json::object());
  EXPECT_EQ(lc.take(), std::vector<std::string>{"warn/os: File " + dir.file("settings.db") + " is not found"});
  for (const char* content : {"", "{", "[1]", R"({"format": "tessel-vhosts", "version": 1, "settings": {}})",
                              R"({"format": "tessel-settings", "version": 1, "settings": [1]})"}) {
    write_file(dir.file("settings.db"), content);
    auto [s2, w2] = asa_settings_load(dir.file("settings.db"), lc.sink());
    EXPECT_EQ(s2, Json::object()) << content;
    EXPECT_TRUE(any_starts_with(lc.take(), "error/os: An error occurred while loading file ")) << content;
  }
}

TEST(HostLists, FetchedLoadedAndKept) {
  MgmtSim sim;
  LogCapture lc;
  TempDir dir;
  const std::string db = dir.file("vhosts_list.db"), url = sim.api_url("/v2/get_vhosts_list");
  const Json cur = Json::array({"cur.com"});
  // no copy yet: the current list stays
  EXPECT_EQ(vhosts_list_load(db, cur, lc.sink()), cur);
  EXPECT_TRUE(lc.take().empty());

  sim.set_api_answer(
      "/v2/get_vhosts_list",
      {{"body", {{"status", "success"}, {"hash", "v1"}, {"vhosts", {"a.com", " a.com", "", 7, "*", "b.com"}}}}});
  EXPECT_TRUE(vhosts_list_get(db, url, api_context("k", kHeaders), lc.sink()));
  EXPECT_EQ(vhosts_list_load(db, cur, lc.sink(true)), Json::array({"a.com", "*", "b.com"}));
  EXPECT_EQ(lc.take(),
            std::vector<std::string>{"debug/settings: Virtual hosts for ML attack detection: ['a.com', '*', 'b.com']"});

  // down or malformed: the stored list stays
  EXPECT_FALSE(vhosts_list_get(db, kDown + "/v2/get_vhosts_list", api_context("k", kHeaders), lc.sink()));
  sim.set_api_answer("/v2/get_vhosts_list", {{"body", {{"status", "success"}, {"vhosts", "a.com"}}}});
  EXPECT_FALSE(vhosts_list_get(db, url, api_context("k", kHeaders), lc.sink()));
  auto events = lc.take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rfind("error/network: ", 0), 0u);
  EXPECT_EQ(events[1].rfind("error/api: ", 0), 0u);
  EXPECT_EQ(vhosts_list_load(db, cur, lc.sink()), Json::array({"a.com", "*", "b.com"}));

  write_file(db, "garbage");
  EXPECT_EQ(vhosts_list_load(db, cur, lc.sink()), cur);
  EXPECT_EQ(lc.take().size(), 1u);
}

TEST(B64WhiteList, FromTheDatasetService) {
  MgmtSim sim;
  LogCapture lc;
  TempDir dir;
  {  // the environment is read once, into the run's options
    ScopedEnv env("TESSEL_DATASET_URL", sim.dataset_base() + "/");
    EXPECT_EQ(RefDataOptions::from_env().dataset_base_url, sim.dataset_base());
  }
  const std::string db = dir.file("b64wl.db");
  EXPECT_TRUE(b64wl_load(db, lc.sink()).names.empty());
  sim.set_answer("dataset/ml/dataset/get_b64wl_uri",
                 {{"body", {{"status", "success"}, {"hash", "b1"}, {"b64wl", {"dGVzdA==", "", 3, "YWJj"}}}}});
  EXPECT_TRUE(b64wl_get(db, sim.dataset_base(), api_context("", kHeaders), lc.sink()));
  EXPECT_EQ(Json::parse(read_file(db)), Json::array({"dGVzdA==", "YWJj"}));
  EXPECT_EQ(b64wl_load(db, lc.sink()).names, (std::vector<std::string>{"YWJj", "dGVzdA=="}));
  EXPECT_EQ(sim.requests_to("/vx/ml/dataset/get_b64wl_uri").at(0)["method"], "GET");

  sim.set_answer("dataset/ml/dataset/get_b64wl_uri", {{"status_code", 404}, {"body_text", ""}});
  EXPECT_FALSE(b64wl_get(db, sim.dataset_base(), api_context("", kHeaders), lc.sink()));
  EXPECT_EQ(b64wl_load(db, lc.sink()).names, (std::vector<std::string>{"YWJj", "dGVzdA=="}));
  EXPECT_TRUE(lc.take().size() == 1u);
}
