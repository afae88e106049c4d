#include "passgate/bfm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>

#include "bf_fixture.h"
#include "core/data/request_data.h"
#include "core/data/schemas.h"
#include "ingestor/ingestor.h"
#include "support/waf_messages.h"

namespace tessel::passgate::testing {
namespace {

using namespace std::chrono_literals;

// A host on a virtual clock whose look-ups and broker hand-over are
// recorded (the workers call them from their own threads).
struct BfmHarness {
  tessel::testing::LogCapture logs;
  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>(1'000'000);
  std::shared_ptr<SharedNamespace> nsi = std::make_shared<SharedNamespace>();
  core::DetectorContext ctx;
  std::mutex mu;
  std::vector<std::pair<Json, int>> published;
  std::map<std::string, Json> geo;
  std::unique_ptr<BFM> bfm;

  explicit BfmHarness(bool debug = true, unsigned max_running = 2) {
    ctx.sink = logs.sink(debug);
    ctx.queues.q_ec = logs.q_ec_ptr;
    ctx.endpoints.set_attack_url = "http://127.0.0.1:1/vx-api/attack";
    settings(30, 10, false, false);
    BfServices s;
    s.get_geoip = [this](const Json& addrs) {
      std::lock_guard lk(mu);
      Json out = Json::object();
      for (const auto& a : addrs) {
        auto it = geo.find(a.get<std::string>());
        out[a.get<std::string>()] = it == geo.end() ? Json{{"cc", ""}} : it->second;
      }
      return out;
    };
    s.publish = [this](const Json& rows, int kind) {
      std::lock_guard lk(mu);
      published.emplace_back(rows, kind);
    };
    bfm = std::make_unique<BFM>(ctx, clock, s, max_running);
  }

  void settings(const Json& interval, const Json& max_val, bool latest_only, bool send_possible) {
    nsi->set("bf_interval", interval);
    nsi->set("bf_max_val", max_val);
    nsi->set("bf_latest_only", Json(latest_only));
    nsi->set("bf_send_possible", Json(send_possible));
  }

  // One pass of the main loop, `secs` after the previous one.
  void tick(RequestTable t = {}, std::int64_t secs = 5) {
    clock->advance_s(secs);
    bfm->dfs_processing(nsi, std::move(t));
  }

  void idle() { ASSERT_TRUE(bfm->processes().wait_idle(20s)); }

  // Every line logged so far, split into window sizes (debug "processing")
  // and the rest.
  std::vector<std::size_t> windows;
  std::vector<std::string> lines;
  void collect() {
    const std::string mark = "debug/bf: BF analysis: processing ";
    for (auto& l : logs.take()) {
      if (l.rfind(mark, 0) == 0) {
        windows.push_back(std::stoul(l.substr(mark.size())));
      } else {
        lines.push_back(std::move(l));
      }
    }
  }
  std::size_t count(const std::string& part) const {
    std::size_t n = 0;
    for (const auto& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
};

RequestTable stamped(std::initializer_list<std::int64_t> ts) {
  RequestTable t;
  for (auto s : ts) t.push_back(bf_row({"1.1.1.1", "v" + std::to_string(s), 0, "body", s}));
  return t;
}

TEST(Bfm, ConstructionLogsOnceAndHoldsNothing) {
  BfmHarness h;
  EXPECT_EQ(h.logs.take(), std::vector<std::string>{"info/bf: BF attack detection module is running"});
  EXPECT_EQ(h.bfm->held(), 0u);
  EXPECT_EQ(h.bfm->stime(), 1'000'000);
}

// The cut of the held rows into windows: their sizes, and what stays held.
struct CutCase {
  const char* name;
  std::vector<std::int64_t> stamps;
  Json interval;
  std::vector<std::size_t> windows;
  std::size_t held_after;
};

class Cut : public ::testing::TestWithParam<CutCase> {};

TEST_P(Cut, Windows) {
  const auto& c = GetParam();
  BfmHarness h;
  h.settings(c.interval, 1000, false, false);
  RequestTable t;
  for (auto s : c.stamps) t.push_back(bf_row({"1.1.1.1", "v", 0, "body", s}));
  h.tick(std::move(t), 0);  // held, no cut yet
  h.idle();
  h.collect();
  EXPECT_TRUE(h.windows.empty());
  h.tick({}, 31);
  h.idle();
  h.collect();
  EXPECT_EQ(h.windows, c.windows);
  EXPECT_EQ(h.bfm->held(), c.held_after);
  EXPECT_EQ(h.bfm->stime(), h.clock->now_s());
}

std::vector<std::int64_t> seconds(std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> v;
  for (auto s = from; s <= to; ++s) v.push_back(s);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Cut,
    ::testing::Values(CutCase{"EverySecondTo100", seconds(0, 100), 30, {30, 30, 30, 30, 30, 26, 11}, 0},
                      CutCase{"Gaps", {0, 50, 100}, 30, {1, 1, 1}, 0},
                      CutCase{"LastWindowAtItsLimit", {0, 15}, 30, {2}, 1},
                      CutCase{"OddInterval", seconds(0, 31), 31, {31, 17, 2}, 0},
                      CutCase{"IntervalTwo", {0, 1, 2}, 2, {2, 2}, 1},
                      // Below 2 seconds the default of 30 is used.
                      CutCase{"IntervalOne", seconds(0, 100), 1, {30, 30, 30, 30, 30, 26, 11}, 0},
                      CutCase{"IntervalZero", seconds(0, 100), 0, {30, 30, 30, 30, 30, 26, 11}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bfm, UnusableIntervalWarnsOncePerValue) {
  BfmHarness h(false);
  h.logs.take();
  h.settings(1, 10, false, false);
  h.tick();
  h.tick();
  h.settings(0, 10, false, false);
  h.tick();
  h.collect();
  EXPECT_EQ(h.lines, (std::vector<std::string>{
                         "warn/settings: An incorrect interval is set in BF attack detection module: 1, the value "
                         "will be used: 30",
                         "warn/settings: An incorrect interval is set in BF attack detection module: 0, the value "
                         "will be used: 30"}));
}

TEST(Bfm, RowLeftAtTheLastWindowIsCutAloneNextTime) {
  BfmHarness h;
  h.tick(stamped({0, 15}), 16);
  h.idle();
  h.collect();
  EXPECT_EQ(h.windows, std::vector<std::size_t>{2});
  EXPECT_EQ(h.bfm->held(), 1u);
  h.tick({}, 15);  // exactly half an interval: not due
  h.idle();
  h.collect();
  EXPECT_EQ(h.windows.size(), 1u);
  h.tick({}, 1);
  h.idle();
  h.collect();
  EXPECT_EQ(h.windows, (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(h.bfm->held(), 0u);
}

TEST(Bfm, RowWithAHeldKeyReplacesItAndKindsAreHeldApart) {
  BfmHarness h;
  RequestTable first = stamped({100});
  RequestRecord flood = first[0];
  flood.extras["flood_detect"] = 1;
  first.push_back(flood);
  h.tick(first, 0);
  EXPECT_EQ(h.bfm->held(), 2u);
  RequestTable again = stamped({100});
  again[0].id = first[0].id;
  h.tick(again, 0);
  EXPECT_EQ(h.bfm->held(), 2u);
  RequestRecord other_zone = first[0];
  other_zone.extras["zone_detect"] = "args";
  h.tick({other_zone}, 0);
  EXPECT_EQ(h.bfm->held(), 3u);
}

TEST(Bfm, HousekeepingRunsOnlyAfterItsDeadline) {
  BfmHarness h;
  h.logs.take();
  h.tick({}, 30);  // at lttl: nothing
  h.collect();
  EXPECT_EQ(h.count("current dataset size"), 0u);
  h.tick({}, 1);
  h.collect();
  EXPECT_EQ(h.count("debug/bf: BF analysis: current dataset size: 0 request(s)"), 1u);
}

// Requests as the WAF sends them, through the record normalisation and the
// rule and white-list matching, then a few passes of the main loop.
struct Traffic {
  std::string vhost = "shop.example";
  std::string url = "/login";
  std::string ip = "203.0.113.7";
  int requests = 12;
  bool distinct = true;  // a new password per request
  bool json = false;
};

RequestTable candidate_rows(const Traffic& tr, const Json& brute_rules, const Json& flood_rules,
                            const Json& wl_ip = Json::array(), const Json& wl_host = Json::array(),
                            std::int64_t ts = 1'000'000) {
  tessel::testing::LogCapture logs;
  const core::BfMatcher matcher(Json::array(), brute_rules, flood_rules, wl_ip, wl_host);
  RequestTable out;
  for (int i = 0; i < tr.requests; ++i) {
    tessel::testing::WafRequest w;
    w.vhost = tr.vhost;
    w.url = tr.url;
    w.ip = tr.ip;
    w.request_id = "r-" + std::to_string(i);
    const std::string pass = tr.distinct ? "guess" + std::to_string(i) : "guess";
    if (tr.json) {
      w.other_headers = "Host: " + tr.vhost + "\r\nContent-Type: application/json";
      w.body = "{\"user\": \"admin\", \"password\": \"" + pass + "\"}";
    } else {
      w.body = "user=admin&password=" + pass;
    }
    Json msg = tessel::testing::waf_message(w);
    msg["timestamp"] = ts + i;
    auto r = ingestor::request_record_from_message(msg, core::B64Whitelist{}, logs.sink());
    EXPECT_TRUE(r.has_value());
    if (r) matcher.append_rows(*r, out);
  }
  return out;
}

const Json kLoginRule = Json::array({{{"vhost", "shop.example"}, {"url", "/login"}, {"zones", {"body"}}}});
const Json kFloodRule = Json::array({{{"vhost", "shop.example"}, {"url", "/login"}, {"zones", {"body"}}}});

struct ScenarioCase {
  const char* name;
  Traffic traffic;
  Json brute_rules;
  Json flood_rules;
  Json wl_ip;
  Json wl_host;
  bool latest_only;
  bool send_possible;
  std::size_t confirmed_lines;
  std::size_t possible_lines;
  std::size_t report_rows;  // rows reaching q_attack_bd
  int kind;                 // of the reports, 0 none
};

class Scenario : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(Scenario, MainLoop) {
  const auto& c = GetParam();
  BfmHarness h(false);
  h.settings(30, 10, c.latest_only, c.send_possible);
  h.tick(candidate_rows(c.traffic, c.brute_rules, c.flood_rules, c.wl_ip, c.wl_host), 5);
  for (int i = 0; i < 4; ++i) h.tick();
  h.idle();
  h.collect();
  EXPECT_EQ(h.count("The brute-force attack was detected") + h.count("The flood attack was detected"),
            c.confirmed_lines);
  EXPECT_EQ(h.count("Possible "), c.possible_lines);
  std::size_t rows = 0;
  for (const auto& r : h.ctx.queues.q_attack_bd->drain()) {
    rows += r.table.size();
    EXPECT_EQ(r.kind, c.kind);
    for (const auto& row : r.table) EXPECT_EQ(row.mz, "BODY");
  }
  EXPECT_EQ(rows, c.report_rows);
  std::lock_guard lk(h.mu);
  EXPECT_EQ(h.published.size(), c.confirmed_lines);
}

Json flood_only() { return Json::array({{{"vhost", "shop.example"}, {"url", "/login"}, {"zones", {"body"}}}}); }

Traffic same_password() {
  Traffic t;
  t.distinct = false;
  return t;
}
Traffic json_body() {
  Traffic t;
  t.json = true;
  return t;
}
Traffic few() {
  Traffic t;
  t.requests = 10;
  return t;
}
Traffic other_host() {
  Traffic t;
  t.vhost = "blog.example";
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Scenario,
    ::testing::Values(
        ScenarioCase{
            "LoginBruteForce", {}, kLoginRule, Json::array(), Json::array(), Json::array(), false, false, 1, 0, 12, 7},
        ScenarioCase{"JsonBody", json_body(), kLoginRule, Json::array(), Json::array(), Json::array(), false, false, 1,
                     0, 12, 7},
        ScenarioCase{
            "LatestOnly", {}, kLoginRule, Json::array(), Json::array(), Json::array(), true, false, 1, 0, 1, 7},
        // Ten requests are not more than bf_max_val.
        ScenarioCase{"AtTheThreshold", few(), kLoginRule, Json::array(), Json::array(), Json::array(), false, false, 0,
                     0, 0, 0},
        // One password over and over: a flood rule sees it, a brute-force
        // rule does not.
        ScenarioCase{"SamePasswordBrute", same_password(), kLoginRule, Json::array(), Json::array(), Json::array(),
                     false, true, 0, 1, 12, 7},
        ScenarioCase{"FloodOnRuleUrl", same_password(), Json::array(), flood_only(), Json::array(), Json::array(),
                     false, false, 1, 0, 12, 9},
        ScenarioCase{"WhiteListedAddress",
                     {},
                     kLoginRule,
                     Json::array(),
                     Json::array({"203.0.113.0/24"}),
                     Json::array(),
                     false,
                     false,
                     0,
                     0,
                     0,
                     0},
        ScenarioCase{"WhiteListedHost",
                     {},
                     kLoginRule,
                     Json::array(),
                     Json::array(),
                     Json::array({"shop.example"}),
                     false,
                     false,
                     0,
                     0,
                     0,
                     0},
        ScenarioCase{"RuleForAnotherHost", other_host(), kLoginRule, Json::array(), Json::array(), Json::array(), false,
                     false, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The JSON body reaches the attack report as its body; the brokers get the
// normalised body and the JSON body side by side.
TEST(Bfm, JsonBodyIsTheReportedBody) {
  BfmHarness h(false);
  Traffic t = json_body();
  h.tick(candidate_rows(t, kLoginRule, Json::array()), 16);
  h.idle();
  auto reports = h.ctx.queues.q_attack_bd->drain();
  ASSERT_EQ(reports.size(), 1u);
  const Json rows = table_to_json(reports[0].table, reports[0].dropped_columns);
  EXPECT_EQ(rows.back()["body"], "{\"user\": \"admin\", \"password\": \"guess11\"}");
  EXPECT_FALSE(rows.back().contains("jbody"));
  std::lock_guard lk(h.mu);
  ASSERT_EQ(h.published.size(), 1u);
  EXPECT_EQ(h.published[0].first[0]["jbody"], "{\"user\": \"admin\", \"password\": \"guess11\"}");
  EXPECT_NE(h.published[0].first[0]["body"], h.published[0].first[0]["jbody"]);
}

// An hour of requests arriving at once: every window is cut in one pass and
// analysed once, with a bounded number of workers at a time; a brute force
// every ten minutes is found in each of its windows.
TEST(Bfm, HourOfBacklogAtOnce) {
  BfmHarness h(true, 2);
  RequestTable t;
  const std::int64_t start = 1'000'000 - 3600;
  for (std::int64_t s = 0; s < 3600; ++s) {
    RowSpec benign{"198.51.100." + std::to_string(s % 200), "user=u" + std::to_string(s % 7), 0, "body", start + s};
    t.push_back(bf_row(benign));
    if (s % 600 == 0) {
      for (int i = 0; i < 12; ++i) t.push_back(bf_row({"203.0.113.9", "pw" + std::to_string(i), 0, "body", start + s}));
    }
  }
  const std::size_t total = t.size();
  h.tick(std::move(t), 16);
  EXPECT_LE(h.bfm->processes().running(), 2u);
  h.idle();
  h.collect();
  EXPECT_EQ(h.windows.size(), 240u);
  std::size_t analysed = 0;
  for (auto n : h.windows) analysed += n;
  EXPECT_GE(analysed, total);
  EXPECT_EQ(h.bfm->held(), 0u);
  // The first burst opens the first window; each later one lies in two
  // overlapping windows.
  EXPECT_EQ(h.count("The brute-force attack was detected 12 time(s) from 203.0.113.9"), 11u);
}

// The same backlog with the host destroyed right after the cut: the
// windows already cut are still analysed and their findings handed over.
TEST(Bfm, BacklogCutBeforeTheHostEndsIsAnalysed) {
  BfmHarness h(false, 4);
  RequestTable t;
  const std::int64_t start = 1'000'000 - 3600;
  for (std::int64_t s = 0; s < 3600; ++s) {
    t.push_back(
        bf_row({"198.51.100." + std::to_string(s % 200), "user=u" + std::to_string(s % 7), 0, "body", start + s}));
    if (s % 600 == 0) {
      for (int i = 0; i < 12; ++i) t.push_back(bf_row({"203.0.113.9", "pw" + std::to_string(i), 0, "body", start + s}));
    }
  }
  h.tick(std::move(t), 16);
  h.bfm.reset();
  h.collect();
  EXPECT_EQ(h.count("The brute-force attack was detected 12 time(s) from 203.0.113.9"), 11u);
  std::lock_guard lk(h.mu);
  EXPECT_EQ(h.published.size(), 11u);
}

}  // namespace
}  // namespace tessel::passgate::testing
