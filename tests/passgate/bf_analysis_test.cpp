#include "passgate/bf_analysis.h"

#include <gtest/gtest.h>

#include "bf_fixture.h"

namespace tessel::passgate::testing {
namespace {

const Json kNoRecord = Json{{"cc", ""}};
Json record(const std::string& cc, std::initializer_list<const char*> flags = {}) {
  Json r{{"cc", cc}, {"crawler", false}, {"tor", false}, {"proxy", false}, {"hosting", false}, {"mobile", false}};
  for (const char* f : flags) r[f] = true;
  return r;
}

// One examined address of the brute-force or flood analysis: its row count
// and whether its values differ, its reputation, and what comes out.
struct OutcomeCase {
  const char* name;
  bool flood;
  int rows;
  bool distinct;
  Json geo;
  std::int64_t max_val;
  const char* expected;  // "" nothing, else the log line
  bool looked_up;
};

class Outcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcome, OneAddress) {
  const auto& c = GetParam();
  BfHarness h;
  h.geo["1.1.1.1"] = c.geo;
  RequestTable t;
  add_rows(t, "1.1.1.1", c.rows, c.distinct, c.flood ? 1 : 0);
  // Single-row addresses fill the zone up to the threshold; brute force
  // never examines them, flood examines them without a reputation record.
  for (int i = 0; !c.flood && static_cast<std::int64_t>(t.size()) < c.max_val; ++i)
    add_rows(t, "9.9.9." + std::to_string(i), 1, true);
  BfSettings s{c.max_val, false, true};
  bf_analysis(t, c.flood, Json("example.com"), "/login", s, h.env);
  auto logs = h.logs.take();
  if (std::string(c.expected).empty()) {
    EXPECT_TRUE(logs.empty()) << logs.front();
  } else {
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], c.expected);
  }
  EXPECT_EQ(!h.looked_up.empty(), c.looked_up);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Outcome,
    ::testing::Values(
        OutcomeCase{"BruteOneRow", false, 1, true, kNoRecord, 1, "", false},
        OutcomeCase{"BruteSameValueThreeRows", false, 3, false, kNoRecord, 1, "", false},
        OutcomeCase{"BruteSameValueFourRowsNoRecord", false, 4, false, kNoRecord, 1,
                    "info/bf: Possible brute-force attack was detected 4 time(s) from 1.1.1.1, target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"BruteSameValueTor", false, 4, false, record("DE", {"tor"}), 1,
                    "info/bf: Possible brute-force attack was detected 4 time(s) from 1.1.1.1 (DE, tor), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"BruteSameValueCrawlerTor", false, 4, false, record("DE", {"crawler", "tor"}), 1, "", true},
        OutcomeCase{"BruteSameValuePlainRecord", false, 4, false, record("DE"), 1, "", true},
        OutcomeCase{"BruteTwoValuesHosting", false, 2, true, record("DE", {"hosting", "proxy"}), 1,
                    "info/bf: Possible brute-force attack was detected 2 time(s) from 1.1.1.1 (DE, proxy), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"BruteThreeValuesCountryOnly", false, 3, true, record("DE"), 1,
                    "info/bf: Possible brute-force attack was detected 3 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"BruteFourValuesConfirmed", false, 4, true, kNoRecord, 1,
                    "info/bf: The brute-force attack was detected 4 time(s) from 1.1.1.1, target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"ConfirmedNeverShowsTor", false, 4, true, record("DE", {"tor"}), 1,
                    "info/bf: The brute-force attack was detected 4 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"MobileFourRowsPossible", false, 4, true, record("DE", {"mobile"}), 5,
                    "info/bf: Possible brute-force attack was detected 4 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"MobileFiveRowsPossible", false, 5, true, record("DE", {"mobile"}), 10,
                    "info/bf: Possible brute-force attack was detected 5 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"MobileSixRowsConfirmed", false, 6, true, record("DE", {"mobile"}), 10,
                    "info/bf: The brute-force attack was detected 6 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"MobileNotBelowMaxValConfirmed", false, 4, true, record("DE", {"mobile"}), 4,
                    "info/bf: The brute-force attack was detected 4 time(s) from 1.1.1.1 (DE), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"FloodOneRowNoRecord", true, 1, false, kNoRecord, 1,
                    "info/bf: Possible flood attack was detected 1 time(s) from 1.1.1.1, target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"FloodOneRowPlainRecord", true, 1, false, record("US"), 1, "", true},
        OutcomeCase{"FloodTwoRows", true, 2, false, record("US"), 1,
                    "info/bf: Possible flood attack was detected 2 time(s) from 1.1.1.1 (US), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true},
        OutcomeCase{"FloodFourRowsConfirmed", true, 4, false, record("US"), 1,
                    "info/bf: The flood attack was detected 4 time(s) from 1.1.1.1 (US), target: "
                    "example.com/login, zone: BODY, method: POST",
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BfAnalysis, ZoneThresholdCountsOnlyRowsWithAValue) {
  for (int filled : {4, 5}) {
    BfHarness h;
    RequestTable t;
    add_rows(t, "1.1.1.1", filled, true);
    // Marked for the zone but empty there: not counted.
    t.push_back(bf_row({"2.2.2.2", "", 0, "body"}));
    t.push_back(bf_row({"2.2.2.2", "", 0, "body"}));
    bf_analysis(t, false, Json("example.com"), "/login", BfSettings{5, false, false}, h.env);
    EXPECT_EQ(h.logs.take().size(), filled == 5 ? 1u : 0u) << filled;
    EXPECT_EQ(h.looked_up.size(), filled == 5 ? 1u : 0u);
  }
}

TEST(BfAnalysis, ZoneNameIsAPlainSubstringOfZoneDetect) {
  BfHarness h;
  RequestTable t;
  add_rows(t, "1.1.1.1", 4, true);
  for (auto& r : t) r.extras["zone_detect"] = "args,body";
  RequestTable other;
  add_rows(other, "1.1.1.1", 4, true);
  for (auto& r : other) r.extras["zone_detect"] = "b.dy";
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
  EXPECT_EQ(h.logs.take().size(), 1u);
  bf_analysis(other, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
  EXPECT_TRUE(h.logs.take().empty());
}

TEST(BfAnalysis, RequestCountryWinsAndEmptyCountryLeavesNoMarker) {
  BfHarness h;
  h.geo["1.1.1.1"] = record("DE");
  RequestTable t;
  add_rows(t, "1.1.1.1", 4, true);
  t.back().cc = "FR";
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].find("from 1.1.1.1 (FR), target"), std::string::npos) << logs[0];
}

// The three hand-overs of one confirmed detection: the brokers get the
// address's last row with jbody and body as they were; the attack report
// carries every row, jbody in place of body where it is set, and neither
// jbody, cc nor the candidate columns; q_aad gets one entry.
TEST(BfAnalysis, ConfirmedReportShapesTheRows) {
  BfHarness h;
  h.geo["1.1.1.1"] = record("DE");
  RequestTable t;
  add_rows(t, "1.1.1.1", 4, true);
  t[1].jbody = "{\"password\": \"v1\"}";
  t[3].jbody = "{\"password\": \"v3\"}";
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);

  ASSERT_EQ(h.published.size(), 1u);
  EXPECT_EQ(h.published[0].second, 7);
  const Json& rmq = h.published[0].first;
  ASSERT_EQ(rmq.size(), 1u);
  EXPECT_EQ(rmq[0]["request_id"], t[3].request_id);
  EXPECT_EQ(rmq[0]["body"], "v3");
  EXPECT_EQ(rmq[0]["jbody"], "{\"password\": \"v3\"}");
  for (const char* gone : {"cc", "flood_detect", "zone_detect", "orig_zone_data"})
    EXPECT_FALSE(rmq[0].contains(gone)) << gone;

  auto reports = h.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, 7);
  const Json rows = table_to_json(reports[0].table, reports[0].dropped_columns);
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    const Json& row = rows[i];
    EXPECT_EQ(row["group_id"], t[3].request_id);
    EXPECT_EQ(row["possible"], false);
    EXPECT_EQ(row["description"], "Brute-force");
    EXPECT_EQ(row["mz"], "BODY");
    for (const char* gone : {"cc", "flood_detect", "zone_detect", "jbody", "orig_zone_data"})
      EXPECT_FALSE(row.contains(gone)) << gone;
  }
  EXPECT_EQ(rows[0]["body"], "v0");
  EXPECT_EQ(rows[1]["body"], "{\"password\": \"v1\"}");
  // Column order: record columns, then the added ones in the order set.
  std::vector<std::string> tail;
  for (const auto& [k, v] : rows[0].items()) tail.push_back(k);
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(tail.end() - 3, tail.end()),
            (std::vector<std::string>{"group_id", "possible", "description"}));

  auto aad = h.aad();
  ASSERT_EQ(aad.size(), 1u);
  ASSERT_EQ(aad[0].size(), 1u);
  EXPECT_EQ(aad[0][0].ip, "1.1.1.1");
  EXPECT_EQ(aad[0][0].kind, 7);
  EXPECT_EQ(aad[0][0].label, "Brute-force");
}

// Which channel gets what, for a confirmed (4 distinct values) and a
// possible (2 values) address, under latest_only, send_possible and an
// empty "/attack" address.
struct RoutingCase {
  const char* name;
  bool confirmed;
  bool latest_only;
  bool send_possible;
  bool attack_url;
  std::size_t api_rows;
  std::size_t rmq_rows;
  std::size_t aad_items;
};

class Routing : public ::testing::TestWithParam<RoutingCase> {};

TEST_P(Routing, Channels) {
  const auto& c = GetParam();
  BfHarness h;
  if (!c.attack_url) h.env.ctx.endpoints.set_attack_url.clear();
  RequestTable t;
  add_rows(t, "1.1.1.1", c.confirmed ? 4 : 2, true);
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, c.latest_only, c.send_possible}, h.env);
  auto reports = h.reports();
  std::size_t api_rows = 0;
  for (const auto& r : reports) api_rows += r.table.size();
  EXPECT_LE(reports.size(), 1u);
  EXPECT_EQ(api_rows, c.api_rows);
  std::size_t rmq_rows = 0;
  for (const auto& [rows, kind] : h.published) rmq_rows += rows.size();
  EXPECT_EQ(rmq_rows, c.rmq_rows);
  EXPECT_EQ(h.aad().size(), c.aad_items);
}

INSTANTIATE_TEST_SUITE_P(Table, Routing,
                         ::testing::Values(RoutingCase{"Confirmed", true, false, false, true, 4, 1, 1},
                                           RoutingCase{"ConfirmedLatestOnly", true, true, false, true, 1, 1, 1},
                                           RoutingCase{"ConfirmedNoAttackUrl", true, false, true, false, 0, 1, 1},
                                           RoutingCase{"PossibleNotSent", false, false, false, true, 0, 0, 0},
                                           RoutingCase{"PossibleSent", false, false, true, true, 2, 0, 0},
                                           RoutingCase{"PossibleSentLatestOnly", false, true, true, true, 1, 0, 0},
                                           RoutingCase{"PossibleNoAttackUrl", false, false, true, false, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BfAnalysis, ConfirmedAddressSkipsLaterZonesPossibleOneIsExaminedAgain) {
  BfHarness h;
  RequestTable t;
  // 1.1.1.1: 4 distinct args (confirmed in "args"), then 4 distinct bodies.
  // 2.2.2.2: 2 distinct args (possible), then 4 distinct bodies (confirmed).
  for (const auto& [ip, nargs] : {std::pair<std::string, int>{"1.1.1.1", 4}, {"2.2.2.2", 2}}) {
    for (int i = 0; i < 4; ++i) {
      RequestRecord r = bf_row({ip, "b" + std::to_string(i), 0, "args,body"});
      r.args = "a" + std::to_string(i % nargs);
      r.body = "b" + std::to_string(i);
      t.push_back(r);
    }
  }
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_NE(logs[0].find("The brute-force attack was detected 4 time(s) from 1.1.1.1"), std::string::npos);
  EXPECT_NE(logs[0].find("zone: ARGS"), std::string::npos);
  EXPECT_NE(logs[1].find("Possible brute-force attack was detected 4 time(s) from 2.2.2.2"), std::string::npos);
  EXPECT_NE(logs[2].find("The brute-force attack was detected 4 time(s) from 2.2.2.2"), std::string::npos);
  EXPECT_NE(logs[2].find("zone: BODY"), std::string::npos);
  auto aad = h.aad();
  ASSERT_EQ(aad.size(), 1u);
  EXPECT_EQ(aad[0].size(), 2u);
  EXPECT_EQ(h.published.size(), 1u);
  EXPECT_EQ(h.published[0].first.size(), 2u);
  EXPECT_EQ(h.looked_up.size(), 3u);
}

// Rows of several addresses interleaved (and one without an address): each
// address is judged on its own rows, by its own count of distinct values,
// in order of its first row.
TEST(BfAnalysis, InterleavedAddressesAreJudgedOnTheirOwnValues) {
  struct Source {
    const char* ip;
    int rows;
    int values;  // distinct values among the rows
    const char* expected;
  };
  const std::vector<Source> sources = {
      {"1.1.1.1", 20, 1, "Possible brute-force attack was detected 20 time(s) from 1.1.1.1"},
      {"2.2.2.2", 20, 20, "The brute-force attack was detected 20 time(s) from 2.2.2.2"},
      {"3.3.3.3", 20, 3, "Possible brute-force attack was detected 20 time(s) from 3.3.3.3"},
      {"4.4.4.4", 5, 3, "Possible brute-force attack was detected 5 time(s) from 4.4.4.4"},
      {"5.5.5.5", 5, 5, "The brute-force attack was detected 5 time(s) from 5.5.5.5"},
  };
  BfHarness h;
  RequestTable t;
  for (int i = 0; i < 20; ++i) {
    for (const Source& src : sources)
      if (i < src.rows) t.push_back(bf_row({src.ip, "v" + std::to_string(i % src.values)}));
    if (i == 3) {
      RequestRecord r = bf_row({"", "v0"});
      r.ip = nullptr;
      t.push_back(r);
    }
  }
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{10, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i)
    EXPECT_NE(logs[i].find(sources[i].expected), std::string::npos) << logs[i];
  EXPECT_EQ(h.aad().size(), 1u);
}

TEST(BfAnalysis, SlowLookUpIsReportedWithItsSeconds) {
  for (std::int64_t took : {30, 31}) {
    BfHarness h;
    h.look_up_seconds = took;
    RequestTable t;
    add_rows(t, "1.1.1.1", 4, true);
    bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
    auto logs = h.logs.take();
    if (took == 31) {
      ASSERT_EQ(logs.size(), 2u);
      EXPECT_EQ(logs[0], "warn/os: BF analysis: IPG process takes more than 31 sec.");
    } else {
      EXPECT_EQ(logs.size(), 1u);
    }
  }
}

// An address the look-up has no record for is logged and skipped; the other
// addresses of the call are still examined and reported.
TEST(BfAnalysis, AddressWithoutLookUpEntryCostsOnlyItself) {
  BfHarness h;
  h.missing_geo = {"1.1.1.1"};
  RequestTable t;
  add_rows(t, "1.1.1.1", 4, true);
  add_rows(t, "2.2.2.2", 4, true);
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].rfind("error/bf: An error occurred in bf_analysis: ", 0), 0u) << logs[0];
  EXPECT_NE(logs[1].find("from 2.2.2.2"), std::string::npos);
  ASSERT_EQ(h.aad().size(), 1u);
  EXPECT_EQ(h.published.size(), 1u);
}

TEST(BfAnalysis, NothingFoundSendsNothing) {
  BfHarness h;
  RequestTable t;
  add_rows(t, "1.1.1.1", 3, false);
  bf_analysis(t, false, Json("example.com"), "/login", BfSettings{1, false, true}, h.env);
  EXPECT_TRUE(h.logs.take().empty());
  EXPECT_TRUE(h.reports().empty());
  EXPECT_TRUE(h.aad().empty());
  EXPECT_TRUE(h.published.empty());
}

// bf_detection: groups by host and target, the gate, and the split into the
// brute-force and flood parts.
TEST(BfDetection, GroupGateIsStrictlyMoreThanMaxVal) {
  for (int extra : {0, 1}) {
    BfHarness h;
    RequestTable t;
    add_rows(t, "1.1.1.1", 4, true);
    for (int i = 0; i < 6 + extra; ++i) add_rows(t, "9.9.9." + std::to_string(i), 1, true);
    bf_detection(t, BfSettings{10, false, false}, h.env);
    EXPECT_EQ(h.logs.take().size(), extra ? 1u : 0u);
  }
}

TEST(BfDetection, BothPartsOfAPassingGroupAreAnalysed) {
  BfHarness h;
  RequestTable t;
  add_rows(t, "1.1.1.1", 6, true, 0);
  add_rows(t, "2.2.2.2", 5, false, 1);
  bf_detection(t, BfSettings{10, false, false}, h.env);
  // Each part has fewer rows than the zone threshold of 10.
  EXPECT_TRUE(h.logs.take().empty());
  h.logs.take();
  bf_detection(t, BfSettings{4, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_NE(logs[0].find("brute-force attack"), std::string::npos);
  EXPECT_NE(logs[1].find("flood attack"), std::string::npos);
  auto aad = h.aad();
  ASSERT_EQ(aad.size(), 2u);
  EXPECT_EQ(aad[0][0].kind, 7);
  EXPECT_EQ(aad[1][0].kind, 9);
}

TEST(BfDetection, HostsAndTargetsAreSeparateGroupsByExactText) {
  BfHarness h;
  RequestTable t;
  for (const char* host : {"a.example", "b.example"})
    for (const char* url : {"/login", "/Login"}) {
      for (int i = 0; i < 3; ++i) {
        RowSpec s{"1.1.1.1", "v" + std::to_string(i)};
        s.vhost = host;
        s.url = url;
        t.push_back(bf_row(s));
      }
    }
  // Six rows of one address in each of four groups would be one group of 12
  // without the split: with max_val 3 no group of 3 passes.
  bf_detection(t, BfSettings{3, false, false}, h.env);
  EXPECT_TRUE(h.logs.take().empty());
  bf_detection(t, BfSettings{2, false, false}, h.env);
  EXPECT_EQ(h.logs.take().size(), 4u);
}

TEST(BfDetection, NullHostIsNeverAnalysedAndEmptyWindowDoesNothing) {
  BfHarness h;
  RequestTable t;
  add_rows(t, "1.1.1.1", 5, true);
  for (auto& r : t) r.vhost = Json();
  bf_detection(t, BfSettings{1, false, false}, h.env);
  bf_detection(RequestTable{}, BfSettings{1, false, false}, h.env);
  EXPECT_TRUE(h.logs.take().empty());
  EXPECT_TRUE(h.looked_up.empty());
}

TEST(BfDetection, RowsOfOtherKindsCountTowardTheGateOnly) {
  BfHarness h;
  RequestTable t;
  add_rows(t, "1.1.1.1", 4, true, 0);
  add_rows(t, "2.2.2.2", 4, true, 2);
  bf_detection(t, BfSettings{7, false, false}, h.env);  // 8 rows pass; 4 brute rows < 7
  EXPECT_TRUE(h.logs.take().empty());
  bf_detection(t, BfSettings{4, false, false}, h.env);
  auto logs = h.logs.take();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].find("1.1.1.1"), std::string::npos);
}

}  // namespace
}  // namespace tessel::passgate::testing
