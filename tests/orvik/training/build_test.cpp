// Model building against the dataset service: the per-zone models equal
// the reference library's under the same recipe (fixtures/build_golden.json,
// made by fixtures/make_build_fixture.py), and failed downloads are retried.
#include "orvik/training/build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ml/model_io.h"
#include "orvik/training/model_store.h"
#include "shared/pyvalues/base64.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::CannedResponse;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;
using tessel::testing::TempDir;
namespace fs = std::filesystem;

namespace {

Json golden() {
  return Json::parse(
      tessel::testing::read_file(std::string(TESSEL_SOURCE_DIR) + "/tests/orvik/training/fixtures/build_golden.json"));
}

orvik::DatasetData training_of(const Json& g) {
  orvik::DatasetData d;
  for (const auto& [zone, values] : g["training"].items()) d[zone] = values.get<std::vector<std::string>>();
  return d;
}

struct DatasetService {
  LoopbackHttpServer srv;
  core::DatasetUrls urls() const { return {srv.url("/ml/dataset/get_bl_uri"), srv.url("/ml/dataset/get_wl_uri")}; }
};

orvik::BuildOptions quick() {
  orvik::BuildOptions o;
  o.retry_pause = std::chrono::milliseconds(1);
  return o;
}

}  // namespace

TEST(ModelsBuild, EqualsTheReferenceRecipe) {
  const Json g = golden();
  DatasetService ds;
  Json bl = Json::object();
  bl["attacks"] = g["attacks"];
  ds.srv.route("GET", "/ml/dataset/get_bl_uri", CannedResponse{200, bl.dump()});
  ds.srv.route("GET", "/ml/dataset/get_wl_uri", CannedResponse{200, base64_encode(g["wl_literal"].get<std::string>())});
  TempDir dir;
  LogCapture lc;
  core::ApiContext api;
  api.key = "k1";
  api.cookie = Json{{"key", "k1"}};
  ASSERT_TRUE(orvik::tessel_models_build(dir.str(), g["dataset_limit"], "shop.example", "shop.example", training_of(g),
                                         "", "", ds.urls(), api, dir.file("mt.json"), lc.sink(), quick()));
  const auto reqs = ds.srv.requests_to("/ml/dataset/get_bl_uri");
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].header("Cookie"), "key=k1");

  const auto models = orvik::tessel_models_load(dir.str(), "shop.example", lc.sink());
  ASSERT_TRUE(models.usable());
  // The zone without normal values is recorded in both files as left out.
  ASSERT_NE(models.left_out, nullptr);
  EXPECT_EQ(*models.left_out, ml::ZoneNames{"referer"});
  const Json& zones = g["zones"];
  ASSERT_EQ(models.rf->size(), zones.size());
  const auto probes = g["probes"].get<std::vector<std::string>>();
  for (const auto& [zone, want] : zones.items()) {
    SCOPED_TRACE(zone);
    const auto& vect = models.vect->at(zone);
    EXPECT_EQ(vect.vocabulary(), want["vocabulary"].get<std::vector<std::string>>());
    EXPECT_EQ(models.rf->at(zone).predict(vect.transform(probes)),
              want["predictions"].get<std::vector<std::int64_t>>());
  }
  const auto log = lc.take();
  auto has = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
  EXPECT_TRUE(has("info/ml: BL dataset for all zones has been received: 20 entry(s)"));
  EXPECT_TRUE(has("info/ml: WL dataset received for 4 zone(s)"));
  EXPECT_TRUE(has("info/ml: Data reduced (duplicates removed) for zone URL: 14 entry(s)"));
  EXPECT_TRUE(has("info/ml: Data reduced (size limited) for zone URL: 12 entry(s)"));
  EXPECT_TRUE(has("info/ml: Model accuracy for zone ARGS: " + zones["args"]["accuracy"].get<std::string>() +
                  "% (FP: 0, FN: 0)"));
  EXPECT_TRUE(has("info/ml: Model for virtual host shop.example created successfully"));
  EXPECT_TRUE(
      has("error/ml: An error occurred while building behavioral model for zone REFERER: "
          "no normal values to learn from"));
  EXPECT_TRUE(has("error/ml: No behavioral model was built for virtual host shop.example in zone(s): ['referer']"));
  EXPECT_TRUE(
      has("warn/ml: The models of virtual host shop.example hold no behavioral model for zone REFERER (no "
          "normal values to learn from): its values are not judged"));
}

TEST(ModelsBuild, EveryZoneFailingStillWritesBothFiles) {
  DatasetService ds;
  ds.srv.route("GET", "/ml/dataset/get_bl_uri", CannedResponse{200, R"({"attacks": ["a", "b"]})"});
  ds.srv.route("GET", "/ml/dataset/get_wl_uri", CannedResponse{200, base64_encode("{}")});
  TempDir dir;
  LogCapture lc;
  // Values of one character hold no n-gram: an empty vocabulary in every
  // zone, given up at once.
  orvik::DatasetData data;
  data["url"] = {"x", "y"};
  ASSERT_TRUE(orvik::tessel_models_build(dir.str(), 100, "*", "_2a", data, "", "", ds.urls(), core::ApiContext{},
                                         dir.file("mt.json"), lc.sink(), quick()));
  EXPECT_TRUE(fs::exists(dir.file("_2a_rf.ml")));
  EXPECT_TRUE(fs::exists(dir.file("_2a_vect.ml")));
  EXPECT_FALSE(orvik::tessel_models_load(dir.str(), "_2a", lc.sink()).usable());
  const auto log = lc.take();
  EXPECT_EQ(std::count_if(
                log.begin(), log.end(),
                [](const std::string& l) { return l.starts_with("error/ml: An error occurred while vectorizing"); }),
            0);
  EXPECT_TRUE(std::find(log.begin(), log.end(),
                        "error/ml: No behavioral model was built for virtual host * in zone(s): ['url', 'args', "
                        "'cookie', 'ua', 'referer', 'other_headers', 'body']") != log.end());
}

TEST(ModelsBuild, DatasetDownloadsAreRetried) {
  DatasetService ds;
  int bl_calls = 0, wl_calls = 0;
  ds.srv.route("GET", "/ml/dataset/get_bl_uri", [&](const tessel::testing::RecordedRequest&) {
    ++bl_calls;
    if (bl_calls == 1) return CannedResponse{500, "<html>error</html>"};
    if (bl_calls == 2) return CannedResponse{200, R"({"other": [1, 2]})"};
    // An error status whose body reads is used.
    return CannedResponse{503, R"({"attacks": ["' or 1=1 --", "<script>"], "kind": ["a", "b"]})"};
  });
  ds.srv.route("GET", "/ml/dataset/get_wl_uri", [&](const tessel::testing::RecordedRequest&) {
    return ++wl_calls == 1 ? CannedResponse{200, base64_encode("{'url': true}")}
                           : CannedResponse{200, base64_encode("{}")};
  });
  TempDir dir;
  LogCapture lc;
  orvik::DatasetData data;
  data["url"] = {"/a/b", "/c/d"};
  ASSERT_TRUE(orvik::tessel_models_build(dir.str(), 100, "h", "h", data, "", "", ds.urls(), core::ApiContext{},
                                         dir.file("mt.json"), lc.sink(), quick()));
  EXPECT_EQ(bl_calls, 3);
  EXPECT_EQ(wl_calls, 2);
  const auto log = lc.take();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) {
                            return l.starts_with("error/ml: An error occurred while receiving attack dataset: ");
                          }),
            2);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) {
                            return l.starts_with("error/api: An error occurred while receiving WL dataset: ");
                          }),
            1);
  EXPECT_TRUE(orvik::tessel_models_load(dir.str(), "h", lc.sink()).rf->contains("url"));
}

TEST(ModelsBuild, UnreachableDatasetServiceEndsWhenTheServiceStops) {
  std::string base;
  {
    LoopbackHttpServer gone;
    base = gone.url("");
  }
  TempDir dir;
  LogCapture lc;
  std::stop_source stop;
  orvik::BuildOptions o;
  o.retry_pause = std::chrono::hours(1);
  o.stop = stop.get_token();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
  });
  EXPECT_FALSE(orvik::tessel_models_build(dir.str(), 100, "h", "h", {}, "", "",
                                          {base + "/ml/dataset/get_bl_uri", base + "/ml/dataset/get_wl_uri"},
                                          core::ApiContext{}, dir.file("mt.json"), lc.sink(), o));
  stopper.join();
  EXPECT_FALSE(fs::exists(dir.file("h_rf.ml")));
  const auto log = lc.take();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[1].starts_with("error/network: An error occurred while receiving attack dataset: ConnectionError"))
      << log[1];
}

TEST(ModelsBuild, ExportedFalsePositiveEntries) {
  orvik::MtData::Hosts data;
  for (const char* h : {"*", "a.com", "x.a.com", "*.a.com", "b.com", "x.a.com.evil"}) data[h]["url"].insert(h);
  struct Case {
    const char* ml_vhost;
    std::vector<std::string> hosts;
  };
  const std::vector<Case> cases = {
      {"*", {}},
      {"a.com", {"a.com"}},
      {".a.com", {"*.a.com", "a.com", "x.a.com", "x.a.com.evil"}},
      {"*.a.com", {"*.a.com", "x.a.com", "x.a.com.evil"}},
      {"c.com", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ml_vhost);
    std::vector<std::string> got;
    for (const auto& [h, z] : orvik::select_exported_fp(data, c.ml_vhost)) got.push_back(h);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.hosts);
  }
}
