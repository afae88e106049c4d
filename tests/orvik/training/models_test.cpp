// A host's model files: loading, digests, upload and the exchange with the
// management API.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ml/model_io.h"
#include "orvik/training/model_exchange.h"
#include "orvik/training/model_store.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/json.h"
#include "shared/pyvalues/pyjson.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "training_fixtures.h"

using namespace tessel;
using tessel::testing::CannedResponse;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;
using tessel::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// The bytes of a working pair of model files.
std::pair<std::string, std::string> model_pair_bytes() {
  const auto m = orvik::testing::small_models({"args", "url"});
  return {ml::to_bytes(ml::ZoneModels(m.rf)), ml::to_bytes(ml::ZoneModels(m.vect))};
}

// `zip` with the size its first member declares set to `size`, in its local
// and its central header alike.
std::string declare_first_member_size(std::string zip, std::uint32_t size) {
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
  };
  const std::size_t central = zip.find(std::string("PK\x01\x02", 4));
  if (zip.compare(0, 4, std::string("PK\x03\x04", 4)) != 0 || central == std::string::npos)
    throw std::runtime_error("not a zip archive");
  put32(22, size);
  put32(central + 24, size);
  return zip;
}

// The largest resident size of this process so far, in bytes.
std::uint64_t peak_rss() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<std::uint64_t>(ru.ru_maxrss) * 1024;
}

}  // namespace

TEST(ModelsLoad, Files) {
  struct Case {
    const char* name;
    bool rf, vect;
    bool empty_rf;      // the rf file holds no zone
    bool garbage_vect;  // the vect file is not a model file
    bool usable;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"no files", false, false, false, false, false, {}},
      {"both", true, true, false, false, true, {}},
      {"only rf",
       true,
       false,
       false,
       false,
       false,
       {"error/ml: An error occurred while loading model for h", "error/ml: Retrain the model for vhost h"}},
      {"only vect",
       false,
       true,
       false,
       false,
       false,
       {"error/ml: An error occurred while loading model for h", "error/ml: Retrain the model for vhost h"}},
      {"empty mapping",
       true,
       true,
       true,
       false,
       false,
       {"error/ml: An error occurred while loading model for h", "error/ml: Retrain the model for vhost h"}},
      {"foreign file", true, true, false, true, false, {"*", "error/ml: Re-train the model for virtual host h"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto m = orvik::testing::small_models({"uri", "args"});
    if (c.rf) ml::save_file(c.empty_rf ? ml::ZoneModels(ml::ForestMap{}) : ml::ZoneModels(m.rf), dir.file("h_rf.ml"));
    if (c.vect) {
      if (c.garbage_vect) {
        tessel::testing::write_file(dir.file("h_vect.ml"), "not a model");
      } else {
        ml::save_file(ml::ZoneModels(m.vect), dir.file("h_vect.ml"));
      }
    }
    // Another host whose name begins with the same text is never read.
    ml::save_file(ml::ZoneModels(m.rf), dir.file("h2_rf.ml"));
    LogCapture lc;
    const auto loaded = orvik::tessel_models_load(dir.str(), "h", lc.sink());
    EXPECT_EQ(loaded.usable(), c.usable);
    if (c.usable) {
      EXPECT_TRUE(loaded.rf->contains("url"));
      EXPECT_FALSE(loaded.rf->contains("uri"));
      EXPECT_TRUE(loaded.vect->contains("url"));
      EXPECT_TRUE(loaded.vect->contains("args"));
    }
    const auto log = lc.take();
    ASSERT_EQ(log.size(), c.log.size());
    for (std::size_t i = 0; i < log.size(); ++i)
      if (c.log[i] != "*") {
        EXPECT_EQ(log[i], c.log[i]);
      }
  }
}

TEST(ModelsLoad, UriReplacesUrl) {
  TempDir dir;
  auto m = orvik::testing::small_models({"uri", "url"});
  ml::save_file(ml::ZoneModels(m.rf), dir.file("h_rf.ml"));
  ml::save_file(ml::ZoneModels(m.vect), dir.file("h_vect.ml"));
  LogCapture lc;
  const auto loaded = orvik::tessel_models_load(dir.str(), "h", lc.sink());
  ASSERT_TRUE(loaded.usable());
  EXPECT_EQ(loaded.rf->size(), 1u);
  EXPECT_EQ(loaded.vect->begin()->first, "url");
  // The former "uri" vectoriser: the same vocabulary as the saved one.
  EXPECT_EQ(loaded.vect->at("url").vocabulary(), m.vect.at("uri").vocabulary());
}

TEST(ModelsDict, ExactHostDigests) {
  TempDir dir;
  const auto m = orvik::testing::small_models({"args"});
  for (const std::string h : {"shop", "shop2"}) {
    ml::save_file(ml::ZoneModels(m.rf), dir.file(h + "_rf.ml"));
    ml::save_file(ml::ZoneModels(m.vect), dir.file(h + "_vect.ml"));
  }
  ml::save_file(ml::ZoneModels(m.vect), dir.file("lone_vect.ml"));
  tessel::testing::write_file(dir.file("solo_rf.ml"), "rf bytes");
  LogCapture lc;
  const auto dict = orvik::tessel_models_dict(dir.str(), false, lc.sink());
  ASSERT_EQ(dict.size(), 3u);
  const std::string pair = orvik::models_digest({dir.file("shop_rf.ml"), dir.file("shop_vect.ml")});
  EXPECT_EQ(dict.at("shop"), pair);
  EXPECT_EQ(dict.at("shop2"), pair);  // the same bytes, not shop's and shop2's together
  EXPECT_EQ(dict.at("solo"), orvik::models_digest({dir.file("solo_rf.ml")}));
  EXPECT_EQ(lc.take().size(), 3u);
  EXPECT_TRUE(orvik::tessel_models_dict(dir.file("missing"), false, lc.sink()).empty());
  EXPECT_TRUE(lc.take().empty());
}

TEST(ModelExchange, UploadThenDownloadOnAnotherNode) {
  TempDir built, tmp, other;
  const auto m = orvik::testing::small_models({"args", "url"});
  ml::save_file(ml::ZoneModels(m.rf), built.file("h_rf.ml"));
  ml::save_file(ml::ZoneModels(m.vect), built.file("h_vect.ml"));
  const std::vector<std::string> g = {built.file("h_rf.ml"), built.file("h_vect.ml")};

  LoopbackHttpServer srv;
  int posts = 0;
  std::string uploaded;
  srv.route("POST", "/set_models_uri", [&](const tessel::testing::RecordedRequest& r) {
    ++posts;
    if (posts == 1) return CannedResponse{500, "{}"};
    if (posts == 2) return CannedResponse{200, "{}"};
    uploaded = r.body;
    return CannedResponse{202, "{}"};
  });
  LogCapture lc;
  core::ApiContext api;
  api.key = "k1";
  orvik::ExchangeOptions opts;
  opts.upload_retry = std::chrono::milliseconds(1);
  const std::string zip = tmp.file("h.zip");
  EXPECT_TRUE(orvik::tessel_models_send(zip, g, "h.com", "h", srv.url("/set_models_uri"), api, lc.sink(), opts));
  EXPECT_EQ(posts, 3);
  EXPECT_FALSE(fs::exists(zip));
  const auto reqs = srv.requests_to("/set_models_uri");
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].body, reqs[2].body);
  EXPECT_EQ(reqs[2].header("Cookie"), "key=k1");
  const Json body = Json::parse(uploaded);
  ASSERT_EQ(body.size(), 3u);
  EXPECT_EQ(body.begin().key(), "vhost");
  EXPECT_EQ(body["vhost"], "h");
  EXPECT_EQ(body["hash"], orvik::models_digest(g));
  EXPECT_EQ(uploaded.find("\"vhost\": \"h\", \"hash\": "), 1u);
  const auto log = lc.take();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "info/ml: Adding model " + g[0] + " to the " + zip + ": OK");
  EXPECT_EQ(log[2],
            "error/api: An error occurred while sending the models of virtual host h.com to Corvane WAF API: "
            "status: <Response [500]>");
  EXPECT_EQ(log[4], "info/api: The models of virtual host h.com were successfully sent to Corvane WAF API");

  // The other node holds nothing, gets the archive, then hears "no change".
  std::vector<std::string> asked;
  srv.route("POST", "/get_models_uri", [&](const tessel::testing::RecordedRequest& r) {
    asked.push_back(base64_decode(r.body));
    if (asked.size() == 1) return CannedResponse{202, body["model"].get<std::string>()};
    return CannedResponse{304, ""};
  });
  EXPECT_TRUE(orvik::tessel_models_receiver(false, other.str(), srv.url("/get_models_uri"), api, lc.sink()));
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0], "{}");
  EXPECT_EQ(asked[1], "{\"h\": \"" + body["hash"].get<std::string>() + "\"}");
  EXPECT_FALSE(fs::exists(other.file("models.zip")));
  EXPECT_EQ(orvik::tessel_models_dict(other.str(), true, lc.sink()).at("h"), body["hash"]);
  const auto loaded = orvik::tessel_models_load(other.str(), "h", lc.sink());
  ASSERT_TRUE(loaded.usable());
  EXPECT_EQ(lc.take(),
            (std::vector<std::string>{"info/os: Models extracted: h_rf.ml", "info/os: Models extracted: h_vect.ml"}));
}

TEST(ModelExchange, RefusedArchives) {
  using orvik::testing::ZipMember;
  const std::string old_rf = "old rf", old_vect = "old vect";
  const auto [rf_bytes, vect_bytes] = model_pair_bytes();
  struct Case {
    const char* name;
    std::vector<ZipMember> members;
    bool restart;
    std::vector<std::string> installed;  // new files in the model directory
  };
  const std::vector<Case> cases = {
      {"parent directory", {{"../h_rf.ml", "x"}, {"../h_vect.ml", "y"}}, false, {}},
      {"absolute path", {{"/tmp/h_rf.ml", "x"}, {"/tmp/h_vect.ml", "y"}}, false, {}},
      {"sub-directory", {{"d/h_rf.ml", "x"}, {"d/h_vect.ml", "y"}}, false, {}},
      {"foreign names", {{"mt.json", "[]"}, {"h.db", "x"}}, false, {}},
      {"half a pair", {{"h_rf.ml", "new"}, {"mt.json", "[]"}}, false, {}},
      {"symbolic link", {{"h_rf.ml", "/etc/passwd", true}, {"h_vect.ml", "y"}}, false, {}},
      {"hidden name", {{"._rf.ml", "x"}, {"._vect.ml", "y"}}, false, {}},
      {"a pair and a stranger",
       {{"n_rf.ml", rf_bytes}, {"n_vect.ml", vect_bytes}, {"x.d", "c"}},
       true,
       {"n_rf.ml", "n_vect.ml"}},
      {"a pair that is no model", {{"h_rf.ml", "garbage"}, {"h_vect.ml", "garbage"}}, false, {}},
      {"half a pair is no model", {{"h_rf.ml", rf_bytes}, {"h_vect.ml", rf_bytes.substr(0, 40)}}, false, {}},
      {"kinds swapped", {{"h_rf.ml", vect_bytes}, {"h_vect.ml", rf_bytes}}, false, {}},
      {"a pair that loads beside one that does not",
       {{"h_rf.ml", rf_bytes}, {"h_vect.ml", "x"}, {"n_rf.ml", rf_bytes}, {"n_vect.ml", vect_bytes}},
       true,
       {"n_rf.ml", "n_vect.ml"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    tessel::testing::write_file(dir.file("h_rf.ml"), old_rf);
    tessel::testing::write_file(dir.file("h_vect.ml"), old_vect);
    LoopbackHttpServer srv;
    int n = 0;
    srv.route("POST", "/get_models_uri", [&](const tessel::testing::RecordedRequest&) {
      return ++n == 1 ? CannedResponse{202, base64_encode(orvik::testing::make_zip(c.members))}
                      : CannedResponse{304, ""};
    });
    LogCapture lc;
    core::ApiContext api;
    EXPECT_EQ(orvik::tessel_models_receiver(false, dir.str(), srv.url("/get_models_uri"), api, lc.sink()), c.restart);
    EXPECT_EQ(tessel::testing::read_file(dir.file("h_rf.ml")), old_rf);
    EXPECT_EQ(tessel::testing::read_file(dir.file("h_vect.ml")), old_vect);
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.path())) files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> want = {"h_rf.ml", "h_vect.ml"};
    want.insert(want.end(), c.installed.begin(), c.installed.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(files, want);
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "h_rf.ml"));
    bool refused_line = false;
    for (const auto& line : lc.take())
      refused_line |= line.starts_with("error/os: An error occurred while validating the model archive");
    EXPECT_TRUE(refused_line);
  }
}

TEST(ModelExchange, SizeCapsAndDamagedReplies) {
  struct Case {
    const char* name;
    std::string body;
    std::uint64_t max_model_bytes;
    std::uint64_t max_member_bytes;
    std::string log_start;
  };
  const std::string receiving = "error/api: An error occurred while receiving data from ";
  const auto [rf_bytes, vect_bytes] = model_pair_bytes();
  const std::string pair = orvik::testing::make_zip({{"h_rf.ml", std::string(1000, 'a')}, {"h_vect.ml", "b"}});
  // Two MiB of zeros deflate to a few KiB.
  const std::string bomb =
      orvik::testing::make_zip({{"h_rf.ml", std::string(2 << 20, '\0')}, {"h_vect.ml", vect_bytes}});
  const std::string small = orvik::testing::make_zip({{"h_rf.ml", rf_bytes}, {"h_vect.ml", vect_bytes}});
  const std::uint64_t member_cap = orvik::kMaxModelFileBytes;
  const std::vector<Case> cases = {
      {"members beyond the cap", base64_encode(pair), 500, member_cap, receiving},
      {"a member beyond the file cap", base64_encode(bomb), 1 << 30, 1 << 20, receiving},
      {"a member larger than it declares", base64_encode(declare_first_member_size(bomb, 1000)), 1 << 30, 1 << 20,
       receiving},
      {"a member that declares 3 GiB", base64_encode(declare_first_member_size(small, 3u << 30)),
       std::uint64_t(4) << 30, member_cap, receiving},
      {"a member smaller than it declares", base64_encode(declare_first_member_size(small, rf_bytes.size() + 1)),
       std::uint64_t(4) << 30, member_cap, receiving},
      {"not base64", "%%%", 1 << 20, member_cap, receiving},
      {"not a zip archive", base64_encode("plain text"), 1 << 20, member_cap, receiving},
      {"empty", "", 1 << 20, member_cap, receiving},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    tessel::testing::write_file(dir.file("h_rf.ml"), "old");
    LoopbackHttpServer srv;
    srv.route("POST", "/get_models_uri", CannedResponse{202, c.body});
    LogCapture lc;
    orvik::ExchangeOptions opts;
    opts.max_model_bytes = c.max_model_bytes;
    opts.max_member_bytes = c.max_member_bytes;
    const std::uint64_t rss_before = peak_rss();
    EXPECT_FALSE(orvik::tessel_models_receiver(false, dir.str(), srv.url("/get_models_uri"), core::ApiContext{},
                                               lc.sink(), opts));
    // What a member declares is not allocated.
    EXPECT_LT(peak_rss() - rss_before, std::uint64_t(256) << 20);
    EXPECT_EQ(tessel::testing::read_file(dir.file("h_rf.ml")), "old");
    // Nothing is left behind: no other model file, no part, no archive.
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.path())) files.push_back(e.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"h_rf.ml"});
    const auto log = lc.take();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().starts_with(c.log_start)) << log.back();
  }
}

TEST(ModelExchange, RemovalLists) {
  TempDir dir;
  for (const std::string h : {"shop", "shop2", "other"}) {
    tessel::testing::write_file(dir.file(h + "_rf.ml"), h);
    tessel::testing::write_file(dir.file(h + "_vect.ml"), h);
  }
  LoopbackHttpServer srv;
  int n = 0;
  srv.route("POST", "/get_models_uri", [&](const tessel::testing::RecordedRequest&) {
    return ++n == 1 ? CannedResponse{203, "['shop:1', 7, '', '../other', 'gone']"} : CannedResponse{304, ""};
  });
  LogCapture lc;
  EXPECT_TRUE(
      orvik::tessel_models_receiver(false, dir.str(), srv.url("/get_models_uri"), core::ApiContext{}, lc.sink()));
  EXPECT_EQ(n, 2);
  EXPECT_FALSE(fs::exists(dir.file("shop_rf.ml")));
  EXPECT_FALSE(fs::exists(dir.file("shop_vect.ml")));
  EXPECT_TRUE(fs::exists(dir.file("shop2_rf.ml")));
  EXPECT_TRUE(fs::exists(dir.file("other_rf.ml")));
  const auto log = lc.take();
  int md5 = 0, removed = 0, errors = 0;
  for (const auto& l : log) {
    md5 += l.find(" md5: ") != std::string::npos;
    removed += l.starts_with("info/os: Models removed: ");
    errors += l.starts_with("error/os: An error occurred while removing the models (");
  }
  EXPECT_EQ(md5, 3);
  EXPECT_EQ(removed, 2);  // shop, and gone (no files)
  EXPECT_EQ(errors, 3);   // 7, '' and '../other'
}

TEST(ModelExchange, RepliesThatEndTheExchange) {
  struct Case {
    const char* name;
    std::vector<CannedResponse> replies;
    bool restart;
    std::size_t requests;
    std::string last_log;
  };
  const auto [rf_bytes, vect_bytes] = model_pair_bytes();
  const std::string archive =
      base64_encode(orvik::testing::make_zip({{"h_rf.ml", rf_bytes}, {"h_vect.ml", vect_bytes}}));
  const std::string no_models = base64_encode(orvik::testing::make_zip({{"h_rf.ml", "a"}, {"h_vect.ml", "b"}}));
  const std::string unchanged =
      "error/os: The models dictionary has not changed, is there something wrong with the models?";
  // The exchange goes on after every archive and removal list, whatever it
  // changed, up to the cap on requests (5 here).
  const std::vector<Case> cases = {
      {"no change", {{304, ""}}, false, 1, ""},
      {"other 20x", {{200, ""}}, false, 1, ""},
      {"server error",
       {{500, ""}},
       false,
       1,
       "error/api: An error occurred while receiving data from {url}: <Response [500]>"},
      {"the same archive again and again", {{202, archive}}, true, 5, unchanged},
      {"an archive without models, then no change", {{202, no_models}, {304, ""}}, false, 2, "*"},
      {"a removal list that removes nothing, then no change", {{203, "['gone:1']"}, {304, ""}}, true, 2, "*"},
      {"removal lists without end", {{203, "[]"}}, true, 5, unchanged},
      {"removal lists that remove more and more",
       {{203, "['keep1']"}, {203, "['keep2']"}, {203, "['keep3']"}, {203, "['keep4']"}, {203, "['keep5']"}},
       true,
       5,
       "error/api: An error occurred while receiving data from {url}: no end of the exchange after 5 requests"},
      {"damaged archive after a removal", {{203, "[]"}, {202, "AAAA"}}, true, 2, "*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const std::string h : {"keep1", "keep2", "keep3", "keep4", "keep5", "keep6"}) {
      tessel::testing::write_file(dir.file(h + "_rf.ml"), rf_bytes);
      tessel::testing::write_file(dir.file(h + "_vect.ml"), vect_bytes);
    }
    orvik::ExchangeOptions opts;
    opts.max_passes = 5;
    LoopbackHttpServer srv;
    std::size_t n = 0;
    srv.route("POST", "/get_models_uri",
              [&](const tessel::testing::RecordedRequest&) { return c.replies[std::min(n++, c.replies.size() - 1)]; });
    LogCapture lc;
    const std::string url = srv.url("/get_models_uri");
    EXPECT_EQ(orvik::tessel_models_receiver(false, dir.str(), url, core::ApiContext{}, lc.sink(), opts), c.restart);
    EXPECT_EQ(n, c.requests);
    EXPECT_FALSE(fs::exists(dir.file("models.zip")));
    const auto log = lc.take();
    if (c.last_log.empty()) {
      EXPECT_TRUE(log.empty());
    } else if (c.last_log != "*") {
      ASSERT_FALSE(log.empty());
      std::string want = c.last_log;
      if (auto p = want.find("{url}"); p != std::string::npos) want.replace(p, 5, url);
      EXPECT_EQ(log.back(), want);
    }
  }
}

TEST(ModelExchange, UnreachableApi) {
  std::string url;
  {
    LoopbackHttpServer gone;
    url = gone.url("/get_models_uri");
  }
  TempDir dir;
  LogCapture lc;
  EXPECT_FALSE(orvik::tessel_models_receiver(false, dir.str(), url, core::ApiContext{}, lc.sink()));
  const auto log = lc.take();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(
      log[0].starts_with("error/network: An error occurred while receiving data from " + url + ": ConnectionError"))
      << log[0];
}

TEST(ModelExchange, UploadRetriesEndWhenTheServiceStops) {
  TempDir dir;
  tessel::testing::write_file(dir.file("h_rf.ml"), "a");
  std::string url;
  {
    LoopbackHttpServer gone;
    url = gone.url("/set_models_uri");
  }
  std::stop_source stop;
  orvik::ExchangeOptions opts;
  opts.upload_retry = std::chrono::hours(1);
  opts.stop = stop.get_token();
  std::thread stopper([&] { stop.request_stop(); });
  LogCapture lc;
  EXPECT_FALSE(orvik::tessel_models_send(dir.file("h.zip"), {dir.file("h_rf.ml")}, "h", "h", url, core::ApiContext{},
                                         lc.sink(), opts));
  stopper.join();
}
