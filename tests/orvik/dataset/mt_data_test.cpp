// Exported false-positive data: download, loading and application.
#include "orvik/dataset/mt_data.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/data/columns.h"
#include "shared/pyvalues/base64.h"
#include "support/log_capture.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::orvik;
using tessel::testing::LogCapture;
using tessel::testing::MgmtSim;
using tessel::testing::TempDir;

namespace {

struct Download {
  MgmtSim sim;
  TempDir dir;
  LogCapture logs;
  core::ApiContext api;
  std::string mt = dir.file("mt.json");

  Download() {
    api.key = "k";
    api.cookie = {{"key", "k"}};
  }
  void hash(const Json& body, int status = 200) {
    sim.set_api_answer("/get_mt_fp_hash", {{"status_code", status}, {"body", body}});
  }
  void data(const std::string& text, int status = 200) {
    sim.set_api_answer("/get_mt_data_uri", {{"status_code", status}, {"body_text", text}});
  }
  std::string get(const std::string& last, bool debug = false) {
    return mt_data_get(mt, last, sim.api_url("/get_mt_fp_hash"), sim.api_url("/get_mt_data_uri"), api,
                       logs.sink(debug));
  }
  std::size_t downloads() const { return sim.requests_to("/vx-api/get_mt_data_uri").size(); }
};

const std::string kExport = R"([{"vhost": "a.com", "url": "/x\r\n/y"}])";

}  // namespace

TEST(MtDataGet, NewHashDownloadsOnceThenNotAgain) {
  Download d;
  d.hash({{"status", "success"}, {"hash", "h1"}});
  d.data(base64_encode(kExport));
  EXPECT_EQ(d.get("", true), "h1");
  EXPECT_EQ(d.downloads(), 1u);
  EXPECT_EQ(tessel::testing::read_file(d.mt), kExport);
  EXPECT_EQ(d.logs.take(),
            std::vector<std::string>{"debug/api: The exported FP data modified: current: h1, previous: "});
  EXPECT_EQ(d.get("h1", true), "h1");
  EXPECT_EQ(d.downloads(), 1u);
  EXPECT_EQ(d.logs.take(),
            std::vector<std::string>{"debug/api: The exported FP data from Corvane WAF MT has not changes"});
  const auto hash_requests = d.sim.requests_to("/vx-api/get_mt_fp_hash");
  ASSERT_EQ(hash_requests.size(), 2u);
  EXPECT_EQ(hash_requests[0]["body"], "key=k");
}

TEST(MtDataGet, FailedDownloadKeepsTheFileAndTheLastHash) {
  struct Case {
    const char* name;
    int status;
    std::string body;
    std::string log;
  };
  const std::vector<Case> cases = {
      {"not found", 404, base64_encode(kExport), "<Response [404]>"},
      {"not base64", 200, kExport, "the reply is not base64 text"},
      {"not a list", 200, base64_encode("{\"a\": 1}"), "the export is not a JSON list"},
      {"not UTF-8", 200, base64_encode("[\"\xff\"]"),
       "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Download d;
    tessel::testing::write_file(d.mt, "old");
    d.hash({{"status", "success"}, {"hash", "h2"}});
    d.data(c.body, c.status);
    EXPECT_EQ(d.get("h1"), "h1");
    EXPECT_EQ(tessel::testing::read_file(d.mt), "old");
    EXPECT_EQ(d.logs.take(), std::vector<std::string>{"error/api: An error occurred while receiving data from " +
                                                      d.sim.api_url("/get_mt_data_uri") + ": " + c.log});
    d.data(base64_encode(kExport));  // retried next time
    EXPECT_EQ(d.get("h1"), "h2");
    EXPECT_EQ(tessel::testing::read_file(d.mt), kExport);
  }
}

TEST(MtDataGet, HashReplies) {
  Download d;
  d.data("");
  // "none" after a hash: the empty export.
  d.hash({{"status", "none"}});
  EXPECT_EQ(d.get("h1"), "none");
  EXPECT_EQ(tessel::testing::read_file(d.mt), "[]");
  EXPECT_EQ(d.get("none"), "none");
  EXPECT_EQ(d.downloads(), 1u);
  // No "hash": null, which differs from any text.
  d.hash({{"status", "success"}});
  EXPECT_EQ(d.get("none"), "null");
  EXPECT_EQ(d.downloads(), 2u);
  d.logs.take();
  const std::string from =
      "error/api: An error occurred while receiving data from " + d.sim.api_url("/get_mt_fp_hash") + ": ";
  d.hash({{"status", "fail"}});
  EXPECT_EQ(d.get("h1"), "h1");
  EXPECT_EQ(d.logs.take(), std::vector<std::string>{from + R"({"status":"fail"})"});
  d.hash({{"status", "success"}, {"hash", "h9"}}, 500);
  EXPECT_EQ(d.get("h1"), "h1");
  EXPECT_EQ(d.logs.take(), std::vector<std::string>{from + "<Response [500]>"});
  EXPECT_EQ(d.downloads(), 2u);
}

TEST(MtDataGet, UnwritableFileAndRefusedConnection) {
  Download d;
  d.hash({{"status", "success"}, {"hash", "h1"}});
  d.data(base64_encode(kExport));
  const std::string bad = d.dir.file("missing/mt.json");
  EXPECT_EQ(
      mt_data_get(bad, "h0", d.sim.api_url("/get_mt_fp_hash"), d.sim.api_url("/get_mt_data_uri"), d.api, d.logs.sink()),
      "h0");
  const auto lines = d.logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error/os: An error occurred during saving data to " + bad + ": ", 0), 0u);

  EXPECT_EQ(mt_data_get(d.mt, "h0", "http://127.0.0.1:9/get_mt_fp_hash", "http://127.0.0.1:9/d", d.api, d.logs.sink()),
            "h0");
  const auto refused = d.logs.take();
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].rfind("error/network: An error occurred while receiving data from http://127.0.0.1:9/", 0), 0u);
}

namespace {
MtData load_text(const std::string& text, std::vector<std::string>& lines, TempDir& dir) {
  LogCapture logs;
  const std::string f = dir.file("mt.json");
  tessel::testing::write_file(f, text);
  MtData m = mt_data_load(f, logs.sink());
  lines = logs.take();
  for (auto& l : lines) {
    const auto at = l.find(f);
    if (at != std::string::npos) l.replace(at, f.size(), "F");
  }
  return m;
}
}  // namespace

TEST(MtDataLoad, Records) {
  struct Case {
    const char* name;
    std::string text;
    std::map<std::string, std::map<std::string, std::set<std::string>>> lines;  // non-empty zones
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"empty file", "", {}, {}},
      {"empty export", "[]", {}, {}},
      {"two lines, empty zone",
       R"([{"vhost": "a.com", "url": "/x\r\n/y", "args": ""}])",
       {{"a.com", {{"url", {"/x", "/y"}}}}},
       {}},
      {"uri is url", R"([{"vhost": "a.com", "uri": "/u"}])", {{"a.com", {{"url", {"/u"}}}}}, {}},
      {"same host merged",
       R"([{"vhost": "a", "url": "1"}, {"vhost": "a", "url": "2", "body": "b"}])",
       {{"a", {{"url", {"1", "2"}}, {"body", {"b"}}}}},
       {}},
      {"no zones", R"([{"vhost": "a", "other": 5}])", {{"a", {}}}, {}},
      {"lines taken exactly",
       "[{\"vhost\": \"a\", \"url\": \" x \\r\\n\\ny\\r\\n\"}]",
       {{"a", {{"url", {" x ", "\ny", ""}}}}},
       {}},
      {"letter case", R"([{"vhost": "A"}, {"vhost": "a"}])", {{"A", {}}, {"a", {}}}, {}},
      {"numeric text stays text", R"([{"vhost": "a", "args": "123"}])", {{"a", {{"args", {"123"}}}}}, {}},
      {"no vhost",
       R"([{"vhost": null, "url": "x"}, {"url": "y"}, {"vhost": "b", "url": "z"}])",
       {{"b", {{"url", {"z"}}}}},
       {"error/os: An error occurred during processing data from F: no vhost ({'vhost': None, 'url': 'x'})",
        "error/os: An error occurred during processing data from F: no vhost ({'url': 'y'})"}},
      {"a bad record skips only itself",
       R"([{"vhost": "a", "url": 5}, {"vhost": "b", "url": "z", "args": 0}])",
       {{"b", {{"url", {"z"}}}}},
       {"error/os: An error occurred in mt_data_load: 'int' object has no attribute 'split'"}},
      {"not JSON", "[{", {}, {"*"}},
      {"not a list",
       "{}",
       {},
       {"error/os: An error occurred in mt_data_load: the file does not hold a list of records"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> log;
    const MtData m = load_text(c.text, log, dir);
    ASSERT_EQ(m.hosts().size(), c.lines.size());
    for (const auto& [host, zones] : m.hosts()) {
      ASSERT_TRUE(c.lines.count(host)) << host;
      EXPECT_EQ(zones.size(), core::zones().size());
      for (const auto& [z, set] : zones) {
        const auto& want = c.lines.at(host);
        EXPECT_EQ(set, want.count(z) ? want.at(z) : std::set<std::string>{}) << z;
      }
    }
    if (c.log == std::vector<std::string>{"*"}) {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].rfind("error/os: An error occurred in mt_data_load: ", 0), 0u);
    } else {
      EXPECT_EQ(log, c.log);
    }
  }
  {
    TempDir dir;
    std::vector<std::string> log;
    const Json plain = mt_data_json(load_text(R"([{"vhost": "a", "url": "y\r\nx"}])", log, dir));
    EXPECT_EQ(plain["a"]["url"], (Json{"x", "y"}));
    EXPECT_EQ(plain["a"]["body"], Json::array());
    EXPECT_EQ(plain["a"].size(), core::zones().size());
  }
  LogCapture logs;
  EXPECT_TRUE(mt_data_load("/nonexistent/mt.json", logs.sink()).empty());
  EXPECT_TRUE(logs.take().empty());
}

namespace {
MtData exported(std::initializer_list<std::tuple<std::string, std::string, std::string>> lines) {
  MtData m;
  for (const auto& [h, z, l] : lines) m.add_line(h, z, l);
  return m;
}
}  // namespace

TEST(MtExport, HostSelection) {
  struct Case {
    std::string ml_vhost;
    std::string key;
    bool applied;
  };
  const std::vector<Case> cases = {
      {"*", "x.org", true},           {"a.com", "a.com", true},       {"a.com", "*", false},
      {"a.com", "b.a.com", false},    {".a.com", "a.com", true},      {".a.com", "b.a.com", true},
      {".a.com", "x.a.com.cn", true}, {".a.com", "ba.com", false},    {"*.a.com", "a.com", false},
      {"*.a.com", "b.a.com", true},   {"*.a.com", "b.a.com.x", true}, {"*.a.com", "*", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ml_vhost + " / " + c.key);
    LogCapture logs;
    RequestRecord r;
    r.url = "/admin";
    std::vector<std::string> ml_z = {"url"};
    const auto out =
        mt_export_processing(r, "rid", c.ml_vhost, "h", 1, ml_z, exported({{c.key, "url", "/admin"}}), logs.sink());
    EXPECT_EQ(out, c.applied ? std::optional<int>(0) : std::nullopt);
    EXPECT_EQ(ml_z.empty(), c.applied);
  }
}

TEST(MtExport, Application) {
  const MtData m = exported({{"a.com", "url", "/admin"}, {"a.com", "args", "id=1 or 1=1"}, {"a.com", "body", "b"}});
  LogCapture logs;
  {
    SCOPED_TRACE("partly covered: the uncovered lines stay, once");
    RequestRecord r;
    r.url = "/x\r\n/admin\r\n/x\r\n";
    r.args = "id=1 or 1=1";
    std::vector<std::string> ml_z = {"url", "args"};
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 1, ml_z, m, logs.sink()), 12);
    EXPECT_EQ(r.url, "/x");
    EXPECT_EQ(ml_z, std::vector<std::string>{"url"});
    EXPECT_EQ(r.mz, "url");
    EXPECT_EQ(logs.take(), std::vector<std::string>{
                               "info/ml: The exported FP data has been applied to request rid (a.com) in zone ARGS"});
  }
  {
    SCOPED_TRACE("every zone covered");
    RequestRecord r;
    r.url = "/ADMIN";
    r.body = "\r\n";
    r.mz = "url|body";
    std::vector<std::string> ml_z = {"url", "body"};
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 1, ml_z, m, logs.sink()), 0);
    EXPECT_TRUE(ml_z.empty());
    EXPECT_EQ(r.mz, "url|body");
    logs.take();
  }
  {
    SCOPED_TRACE("no exported lines for the zone, unknown field, too large");
    RequestRecord r;
    r.cookie = "c";
    r.url = std::string(core::limit_data_mt() + 1, 'a');
    std::vector<std::string> ml_z = {"cookie", "nofield", "url"};
    EXPECT_EQ(mt_export_processing(r, 7, "a.com", "a.com", 1, ml_z, m, logs.sink()), 12);
    EXPECT_EQ(ml_z, (std::vector<std::string>{"cookie", "nofield", "url"}));
    EXPECT_EQ(r.mz, "cookie|nofield|url");
    EXPECT_EQ(logs.take(), (std::vector<std::string>{
                               "error/ml: An error occurred while applying exported FP data to request 7 (a.com) in "
                               "zone nofield: 'nofield'",
                               "warn/ml: Data of request 7 (a.com) is too large and exported FP will not apply"}));
  }
  {
    SCOPED_TRACE("exactly the size limit is matched");
    RequestRecord r;
    const MtData big = exported({{"a.com", "url", std::string(core::limit_data_mt(), 'a')}});
    r.url = std::string(core::limit_data_mt(), 'a');
    std::vector<std::string> ml_z = {"url"};
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 1, ml_z, big, logs.sink()), 0);
    logs.take();
  }
  {
    SCOPED_TRACE("not applied");
    RequestRecord r;
    r.url = "/admin";
    std::vector<std::string> ml_z = {"url"};
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 0, ml_z, m, logs.sink()), std::nullopt);
    EXPECT_EQ(mt_export_processing(r, "rid", "b.com", "b.com", 1, ml_z, m, logs.sink()), std::nullopt);
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 1, ml_z, MtData(), logs.sink()), std::nullopt);
    EXPECT_EQ(ml_z, std::vector<std::string>{"url"});
    EXPECT_TRUE(logs.take().empty());
    std::vector<std::string> none;
    EXPECT_EQ(mt_export_processing(r, "rid", "a.com", "a.com", 1, none, m, logs.sink()), std::nullopt);
    EXPECT_EQ(logs.take(), std::vector<std::string>{"error/ml: An error occurred while applying exported FP data to "
                                                    "request rid (a.com): received request without MZ"});
  }
  {
    SCOPED_TRACE("a symbol-only line is never covered, even by itself");
    RequestRecord r;
    r.url = "'--";
    std::vector<std::string> ml_z = {"url"};
    EXPECT_EQ(
        mt_export_processing(r, "rid", "a.com", "a.com", 1, ml_z, exported({{"a.com", "url", "'--"}}), logs.sink()),
        12);
    EXPECT_EQ(r.url, "'--");
  }
}
