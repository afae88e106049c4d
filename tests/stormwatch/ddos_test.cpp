#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/data/reputation.h"
#include "core/workers/feeder.h"
#include "core/workers/router.h"
#include "core/workers/settings_thread.h"
#include "shared/runtime/clock.h"
#include "stormwatch/ddos_detection.h"
#include "stormwatch/ddosm.h"
#include "support/log_capture.h"

using namespace tessel;
using namespace tessel::stormwatch;
using namespace std::chrono_literals;

namespace {

struct Req {
  std::string ip;
  std::string url = "/login";
  int n = 1;
  std::int64_t status = 200;
  std::string vhost = "shop";
  std::string ua = "agent";
  std::string body;
  std::string cc;
};

int next_id = 0;

RequestRecord record(const Req& q, std::int64_t ts, int i) {
  RequestRecord r;
  char id[33];
  std::snprintf(id, sizeof id, "%032x", ++next_id);
  r.id = id;
  r.timestamp = ts;
  r.request_id = "req-" + std::to_string(next_id);
  r.ip = q.ip;
  r.vhost = q.vhost;
  r.method = "GET";
  r.url = q.url;
  r.ua = q.ua == "*" ? "agent-" + std::to_string(i) : q.ua;
  r.body = q.body;
  r.cc = q.cc;
  r.status_code = q.status;
  return r;
}

RequestTable rows_of(const std::vector<Req>& reqs, std::int64_t ts = 1000) {
  RequestTable t;
  for (const Req& q : reqs)
    for (int i = 0; i < q.n; ++i) t.push_back(record(q, ts, i));
  return t;
}

// Counting stand-ins of the look-ups and the broker publisher.
struct Fakes {
  std::mutex mu;
  Json geo = Json::object();    // address -> entry
  Json lists = Json::object();  // address -> block lists
  std::vector<std::string> geoip_asked;
  std::vector<RequestTable> published;
  std::chrono::milliseconds geoip_delay{0};  // each look-up takes this long
  std::function<void()> after_geoip;         // runs after each look-up

  DDoSServices services() {
    return {[this](const Json& addrs) {
              std::this_thread::sleep_for(geoip_delay);
              if (after_geoip) after_geoip();
              std::lock_guard lk(mu);
              Json out = Json::object();
              for (const auto& a : addrs) {
                geoip_asked.push_back(a.get<std::string>());
                out[a.get<std::string>()] =
                    geo.contains(a.get<std::string>()) ? geo[a.get<std::string>()] : Json{{"cc", ""}};
              }
              return out;
            },
            [this](const std::string& addr) {
              std::lock_guard lk(mu);
              return lists.contains(addr) ? lists[addr] : Json::array();
            },
            [this](const RequestTable& rows, int kind) {
              std::lock_guard lk(mu);
              EXPECT_EQ(kind, kDDoS);
              published.push_back(rows);
            }};
  }
};

struct Outcome {
  std::vector<std::string> lines;  // detection and error lines
  std::size_t published = 0;       // rows given to the broker publisher
  std::size_t reported = 0;        // rows put on q_attack_bd
  std::vector<std::string> aad;    // "ip label"
};

struct WindowRun {
  tessel::testing::LogCapture cap;
  Fakes fakes;
  std::shared_ptr<AttackQueue> q_attack_bd = std::make_shared<AttackQueue>();
  std::shared_ptr<AadQueue> q_aad = std::make_shared<AadQueue>();

  DDoSWorkerEnv env(std::string url = "http://api/attack") {
    return {std::move(url), q_attack_bd, q_aad, fakes.services(), cap.sink(), std::make_shared<VirtualClock>(0)};
  }

  Outcome collect() {
    Outcome o;
    for (auto& l : cap.take())
      if (l.find("attack was detected") != std::string::npos || l.rfind("error/", 0) == 0) o.lines.push_back(l);
    for (auto& t : fakes.published) o.published += t.size();
    while (auto r = q_attack_bd->try_get()) {
      EXPECT_EQ(r->kind, kDDoS);
      o.reported += r->table.size();
    }
    while (auto a = q_aad->try_get())
      for (auto& e : *a) o.aad.push_back(e.ip + " " + e.label);
    return o;
  }
};

}  // namespace

// One window, decision by decision.
TEST(DDoSDetection, Decisions) {
  struct Case {
    const char* name;
    std::vector<Req> reqs;
    Json geo;    // address -> GeoIP entry
    Json lists;  // address -> block lists
    bool latest_only, send_possible;
    std::vector<std::string> lines;
    std::size_t published, reported;
    std::vector<std::string> aad;
  };
  const Json none = Json::object();
  const Case cases[] = {
      {"three requests are not examined", {{"10.0.0.1", "/a", 3}}, none, none, false, false, {}, 0, 0, {}},
      {"private flood",
       {{"10.0.0.5", "/login", 10}},
       none,
       none,
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 10.0.0.5, target: shop/login"},
       1,
       10,
       {"10.0.0.5 DDoS"}},
      {"private flood with country",
       {{"10.0.0.5", "/login", 4, 200, "shop", "agent", "", "DE"}},
       none,
       none,
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 10.0.0.5 (DE), target: shop/login"},
       1,
       4,
       {"10.0.0.5 DDoS"}},
      {"two URLs: no finding", {{"10.0.0.5", "/a", 5}, {"10.0.0.5", "/b", 5}}, none, none, false, false, {}, 0, 0, {}},
      {"two identical of four: no finding",
       {{"10.0.0.5", "/a", 2, 200, "shop", "agent", "x"},
        {"10.0.0.5", "/a", 1, 200, "shop", "agent", "y"},
        {"10.0.0.5", "/a", 1, 200, "shop", "agent", "z"}},
       none,
       none,
       false,
       false,
       {},
       0,
       0,
       {}},
      {"no GeoIP data: possible",
       {{"198.51.100.1", "/x", 6}},
       none,
       none,
       false,
       false,
       {"info/ddos: Possible DDoS attack was detected from 198.51.100.1, target: shop/x"},
       0,
       0,
       {}},
      {"possible sent when asked",
       {{"198.51.100.1", "/x", 6}},
       none,
       none,
       false,
       true,
       {"info/ddos: Possible DDoS attack was detected from 198.51.100.1, target: shop/x"},
       0,
       6,
       {}},
      {"possible, latest only",
       {{"198.51.100.1", "/x", 6}},
       none,
       none,
       true,
       true,
       {"info/ddos: Possible DDoS attack was detected from 198.51.100.1, target: shop/x"},
       0,
       1,
       {}},
      {"four user agents",
       {{"198.51.100.2", "/x", 4, 200, "shop", "*"}},
       none,
       none,
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 198.51.100.2 (VUA), target: shop/x"},
       1,
       4,
       {"198.51.100.2 DDoS"}},
      {"tor",
       {{"203.0.113.7", "/x", 8}},
       Json{{"203.0.113.7", {{"cc", "DE"}, {"tor", true}}}},
       none,
       true,
       false,
       {"info/ddos: The DDoS attack was detected from 203.0.113.7 (DE, tor), target: shop/x"},
       1,
       1,
       {"203.0.113.7 DDoS"}},
      {"crawler flagged tor: possible",
       {{"203.0.113.7", "/x", 8}},
       Json{{"203.0.113.7", {{"cc", "DE"}, {"tor", true}, {"crawler", "bot"}}}},
       none,
       false,
       false,
       {"info/ddos: Possible DDoS attack was detected from 203.0.113.7 (DE), target: shop/x"},
       0,
       0,
       {}},
      {"mobile hosting, five",
       {{"203.0.113.8", "/x", 5}},
       Json{{"203.0.113.8", {{"cc", "DE"}, {"hosting", 1}, {"mobile", true}}}},
       none,
       false,
       false,
       {"info/ddos: Possible DDoS attack was detected from 203.0.113.8 (DE), target: shop/x"},
       0,
       0,
       {}},
      {"mobile hosting, six",
       {{"203.0.113.8", "/x", 6}},
       Json{{"203.0.113.8", {{"cc", "DE"}, {"hosting", 1}, {"mobile", true}}}},
       none,
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 203.0.113.8 (DE, hosting), target: shop/x"},
       1,
       6,
       {"203.0.113.8 DDoS"}},
      {"suspicious country",
       {{"203.0.113.9", "/x", 4}},
       Json{{"203.0.113.9", {{"cc", "CN"}}}},
       none,
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 203.0.113.9 (CN, CCA), target: shop/x"},
       1,
       4,
       {"203.0.113.9 DDoS"}},
      {"block list",
       {{"203.0.113.10", "/x", 4}},
       Json{{"203.0.113.10", {{"cc", "DE"}}}},
       Json{{"203.0.113.10", {"PBL", "XBL"}}},
       false,
       false,
       {"info/ddos: The DDoS attack was detected from 203.0.113.10 (blocklist), target: shop/x"},
       1,
       4,
       {"203.0.113.10 DDoS"}},
      {"other block lists: possible",
       {{"203.0.113.10", "/x", 4}},
       Json{{"203.0.113.10", {{"cc", "DE"}}}},
       Json{{"203.0.113.10", {"PBL"}}},
       false,
       false,
       {"info/ddos: Possible DDoS attack was detected from 203.0.113.10 (DE), target: shop/x"},
       0,
       0,
       {}},
      {"scraping, 20 replies 404: none",
       {{"10.1.1.1", "/a", 20, 404}, {"10.1.1.1", "/b", 1}},
       none,
       none,
       false,
       false,
       {},
       0,
       0,
       {}},
      {"scraping, private",
       {{"10.1.1.1", "/a", 21, 404}, {"10.1.1.1", "/b", 1}},
       none,
       none,
       false,
       false,
       {"info/ddos: Web scraping attack was detected from 10.1.1.1, target: shop"},
       1,
       22,
       {"10.1.1.1 Web scraping"}},
      {"scraping, hosting and tor",
       {{"203.0.113.11", "/a", 21, 404}, {"203.0.113.11", "/b", 1}},
       Json{{"203.0.113.11", {{"cc", "US"}, {"hosting", true}, {"tor", true}}}},
       none,
       false,
       false,
       {"info/ddos: Web scraping attack was detected from 203.0.113.11 (tor), target: shop"},
       1,
       22,
       {"203.0.113.11 Web scraping"}},
      // A possible scraper that floods one URL is still judged on all of its
      // requests, also with latest_only.
      {"possible scraping, then DDoS",
       {{"198.51.100.3", "/a", 21, 404}},
       none,
       none,
       true,
       true,
       {"info/ddos: Possible web scraping attack was detected from 198.51.100.3, target: shop",
        "info/ddos: Possible DDoS attack was detected from 198.51.100.3, target: shop/a"},
       0,
       2,
       {}},
      // An address that cannot be parsed costs only its own rows.
      {"unparsable address",
       {{"not-an-address", "/x", 5}, {"10.0.0.6", "/x", 5}},
       none,
       none,
       false,
       false,
       {"error/ddos: An error occurred in ddos_detection: failed to detect a valid IP address from 'not-an-address'",
        "info/ddos: The DDoS attack was detected from 10.0.0.6, target: shop/x"},
       1,
       5,
       {"10.0.0.6 DDoS"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowRun run;
    run.fakes.geo = c.geo;
    run.fakes.lists = c.lists;
    const RequestTable rows = rows_of(c.reqs);
    ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, c.latest_only, c.send_possible, run.env());
    Outcome o = run.collect();
    EXPECT_EQ(o.lines, c.lines);
    EXPECT_EQ(o.published, c.published);
    EXPECT_EQ(o.reported, c.reported);
    EXPECT_EQ(o.aad, c.aad);
  }
}

// Private addresses are not looked up; other candidates once each.
TEST(DDoSDetection, LookUpsOnlyForPublicCandidates) {
  WindowRun run;
  const RequestTable rows = rows_of({{"10.0.0.1", "/a", 9},
                                     {"198.51.100.4", "/a", 2},
                                     {"198.51.100.5", "/a", 1},
                                     {"198.51.100.5", "/b", 1},
                                     {"198.51.100.5", "/c", 1},
                                     {"198.51.100.5", "/d", 1}});
  ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, false, false, run.env());
  EXPECT_EQ(run.fakes.geoip_asked, (std::vector<std::string>{"198.51.100.5"}));
}

// Many interleaved hosts, one address on several hosts, counts around the
// threshold, and non-text values: addresses are counted per host, hosts
// come in order of first appearance and their addresses likewise.
TEST(DDoSDetection, GroupsByHostThenAddressInOrderOfAppearance) {
  std::uint64_t seed = 12345;
  auto below = [&seed](std::uint64_t n) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % n;
  };
  RequestTable rows;
  for (int i = 0; i < 6000; ++i) {
    RequestRecord r = record({}, 1000, i);
    r.vhost = "h" + std::to_string(below(40));
    r.ip = "10.0." + std::to_string(below(3)) + "." + std::to_string(below(40));
    r.url = "/same";
    rows.push_back(std::move(r));
  }
  rows[7].vhost = 42;  // a number and the text "42" are different hosts
  for (int i = 0; i < 5; ++i) {
    rows.push_back(record({"10.9.9.9", "/same", 1, 200, "42"}, 1000, i));
    rows.push_back(record({}, 1000, i));
    rows.back().ip = 7;  // an address that is no text: an error of its own
  }
  // The plain model: first appearance of hosts, then of addresses per host.
  std::vector<std::string> hosts;
  std::map<std::string, std::vector<std::string>> addrs;
  std::map<std::pair<std::string, std::string>, int> count;
  for (const RequestRecord& r : rows) {
    const std::string h = value_key(r.vhost), a = value_key(r.ip);
    if (!addrs.count(h)) hosts.push_back(h);
    auto& list = addrs[h];
    if (count[{h, a}]++ == 0) list.push_back(a);
  }
  std::vector<std::string> expected;
  for (const std::string& h : hosts)
    for (const std::string& a : addrs[h])
      if (count[{h, a}] > 3 && a[0] != '\x1f') expected.push_back(a + " DDoS");
  WindowRun run;
  ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, false, false, run.env());
  Outcome o = run.collect();
  EXPECT_EQ(o.aad, expected);
  EXPECT_GT(expected.size(), 20u);
  EXPECT_EQ(
      std::count_if(o.lines.begin(), o.lines.end(), [](const std::string& l) { return l.rfind("error/", 0) == 0; }), 1);
}

// Report rows: every column of the window plus group_id (the request id of
// the address's last row), possible and description; hosts handed over
// separately.
TEST(DDoSDetection, ReportRowsAndHandOverPerHost) {
  WindowRun run;
  const RequestTable rows = rows_of({{"10.0.0.5", "/a", 4, 200, "one"}, {"10.0.0.5", "/a", 4, 200, "two"}});
  ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, false, false, run.env());
  std::vector<AttackReport> reports;
  while (auto r = run.q_attack_bd->try_get()) reports.push_back(std::move(*r));
  ASSERT_EQ(reports.size(), 2u);
  const RequestRecord& last = reports[0].table.back();
  EXPECT_EQ(last.extras["group_id"], rows[3].request_id);
  EXPECT_EQ(last.extras["possible"], false);
  EXPECT_EQ(last.extras["description"], core::ddos_desc);
  EXPECT_EQ(reports[0].table.front().extras["group_id"], rows[3].request_id);
  EXPECT_EQ(run.fakes.published.size(), 2u);
  EXPECT_EQ(run.fakes.published[1].front().vhost, "two");
  int items = 0;
  while (run.q_aad->try_get()) ++items;
  EXPECT_EQ(items, 2);
}

// A worker asked to stop hands over what it found so far: here the
// first of three confirmed addresses.
TEST(DDoSDetection, StoppedWorkerHandsOverWhatItFound) {
  WindowRun run;
  std::stop_source stop;
  run.fakes.after_geoip = [&stop] { stop.request_stop(); };
  const RequestTable rows = rows_of({{"198.51.100.1", "/a", 5, 200, "shop", "*"},
                                     {"198.51.100.2", "/a", 5, 200, "shop", "*"},
                                     {"198.51.100.3", "/a", 5, 200, "shop", "*"}});
  ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, false, false, run.env(), stop.get_token());
  const Outcome o = run.collect();
  EXPECT_EQ(run.fakes.geoip_asked, std::vector<std::string>{"198.51.100.1"});
  EXPECT_EQ(o.aad, std::vector<std::string>{"198.51.100.1 DDoS"});
  EXPECT_EQ(o.published, 1u);
  EXPECT_EQ(o.reported, 5u);
}

// A host's report rows follow its findings in order of the addresses: every
// row of each reported address (its last with latest_only) with its group,
// and the last of each confirmed one for the brokers.
TEST(DDoSDetection, ReportRowsFollowTheFindingsInOrder) {
  struct Expected {
    std::string ip;
    std::size_t rows;
    bool possible;
    const char* description;
  };
  const Expected scraper{"10.0.0.1", 25, false, core::scraping_desc};
  const Expected possible_flood{"203.0.113.7", 5, true, core::ddos_desc};
  const Expected flood{"10.0.0.2", 4, false, core::ddos_desc};
  const Expected possible_scraper{"203.0.113.8", 22, true, core::scraping_desc};
  struct Case {
    bool latest_only, send_possible;
    std::vector<Expected> api;
  };
  const std::vector<Case> cases{
      {false, true, {scraper, possible_flood, flood, possible_scraper}},
      {true, true, {scraper, possible_flood, flood, possible_scraper}},
      {false, false, {scraper, flood}},
      {true, false, {scraper, flood}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.latest_only) + std::to_string(c.send_possible));
    RequestTable rows = rows_of({{"10.0.0.1", "/x", 25, 404}, {"203.0.113.7", "/a", 5}, {"10.0.0.2", "/b", 4}});
    for (int i = 0; i < 22; ++i) rows.push_back(record({"203.0.113.8", "/p" + std::to_string(i), 1, 404}, 1000, i));
    WindowRun run;
    ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, c.latest_only, c.send_possible, run.env());
    // The source rows of each address, in table order.
    std::map<std::string, std::vector<const RequestRecord*>> of;
    for (const RequestRecord& r : rows) of[r.ip.get<std::string>()].push_back(&r);
    std::vector<std::string> want, got, want_rmq, got_rmq;
    for (const Expected& e : c.api) {
      const auto& src = of.at(e.ip);
      ASSERT_EQ(src.size(), e.rows);
      const std::string group = src.back()->request_id.get<std::string>();
      for (std::size_t i = c.latest_only ? src.size() - 1 : 0; i < src.size(); ++i)
        want.push_back(src[i]->request_id.get<std::string>() + " " + group + " " + std::to_string(e.possible) + " " +
                       e.description);
      if (!e.possible) want_rmq.push_back(want.back());
    }
    auto line = [](const RequestRecord& r) {
      return r.request_id.get<std::string>() + " " + r.extras["group_id"].get<std::string>() + " " +
             std::to_string(r.extras["possible"].get<bool>()) + " " + r.extras["description"].get<std::string>();
    };
    while (auto r = run.q_attack_bd->try_get())
      for (const RequestRecord& row : r->table) got.push_back(line(row));
    for (const RequestTable& t : run.fakes.published)
      for (const RequestRecord& row : t) got_rmq.push_back(line(row));
    EXPECT_EQ(got, want);
    EXPECT_EQ(got_rmq, want_rmq);
  }
}

// The host's usual countries (at least 10 % of its history) are not
// suspicious.
TEST(DDoSDetection, UsualCountriesAreNotSuspicious) {
  for (std::size_t cn_rows : {9u, 10u}) {
    SCOPED_TRACE(cn_rows);
    WindowRun run;
    run.fakes.geo = Json{{"203.0.113.9", {{"cc", "CN"}}}};
    CountryCounts history;
    history["shop"].rows = 100;
    history["shop"].cc = {{"CN", cn_rows}, {"DE", 100 - cn_rows}};
    const RequestTable rows = rows_of({{"203.0.113.9", "/x", 4}});
    ddos_detection(core::Window<RequestRecord>::of(rows), history, 120, false, false, run.env());
    Outcome o = run.collect();
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0].find(cn_rows == 9 ? "The DDoS" : "Possible DDoS") != std::string::npos, true) << o.lines[0];
  }
}

TEST(DDoSDetection, WithoutAttackUrlNothingIsQueuedForTheApi) {
  WindowRun run;
  const RequestTable rows = rows_of({{"10.0.0.5", "/a", 5}});
  ddos_detection(core::Window<RequestRecord>::of(rows), {}, 120, false, true, run.env(""));
  Outcome o = run.collect();
  EXPECT_EQ(o.published, 1u);
  EXPECT_EQ(o.reported, 0u);
  EXPECT_EQ(o.aad, (std::vector<std::string>{"10.0.0.5 DDoS"}));
}

TEST(PrivateAddress, Ranges) {
  struct Case {
    const char* addr;
    bool is_private;
  };
  for (const Case& c :
       {Case{"10.1.2.3", true}, Case{"172.16.0.1", true}, Case{"172.32.0.1", false}, Case{"192.168.1.1", true},
        Case{"127.0.0.1", true}, Case{"8.8.8.8", false}, Case{"::1", true}, Case{"fd00::1", true},
        Case{"fe80::1", true}, Case{"2001:db8::1", false}, Case{"::ffff:10.0.0.1", true}}) {
    EXPECT_EQ(core::is_private_ip(c.addr), c.is_private) << c.addr;
  }
  for (const char* bad : {"", "garbage", "1.2.3", "10.0.0.1 "})
    EXPECT_THROW(core::is_private_ip(bad), std::invalid_argument);
}

// ---- The host in virtual time ----

namespace {

struct Host {
  tessel::testing::LogCapture cap;
  Fakes fakes;
  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>(100000);
  std::shared_ptr<SharedNamespace> nsi = std::make_shared<SharedNamespace>();
  core::DetectorContext ctx;
  std::unique_ptr<DDoSM> m;

  explicit Host(unsigned max_workers = 2, bool debug = false) {
    nsi->set("ddos_interval", Json(120));
    nsi->set("ddos_latest_only", Json(false));
    nsi->set("ddos_send_possible", Json(false));
    ctx.sink = cap.sink(debug);
    ctx.queues.q_ec = ctx.sink.q_ec;
    ctx.endpoints.set_attack_url = "http://api/attack";
    m = std::make_unique<DDoSM>(ctx, DDoSOptions{clock, max_workers, fakes.services()});
    cap.take();
  }
  // One main-loop pass: the time moves 5 s, then the host gets the rows.
  void pass(RequestTable rows) {
    clock->advance_s(5);
    m->dfs_processing(nsi, std::move(rows));
  }
  void idle() { ASSERT_TRUE(m->workers().wait_idle(60s)); }
  std::size_t windows_published() {
    std::lock_guard lk(fakes.mu);
    return fakes.published.size();
  }
  std::vector<std::string> lines_with(const std::string& part) {
    std::vector<std::string> out;
    for (auto& l : cap.take())
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }
};

// `n` requests a second of one address to one URL, from `t0` for `secs`.
RequestTable flood(std::int64_t t0, std::int64_t secs, int per_second, const std::string& ip) {
  RequestTable t;
  for (std::int64_t s = 0; s < secs; ++s)
    for (int i = 0; i < per_second; ++i) t.push_back(record({ip, "/"}, t0 + s, i));
  return t;
}

}  // namespace

// Benign traffic of many addresses with few requests each: windows are
// cut, nothing is looked up or reported, and the held table does not grow.
TEST(DDoSM, SteadyBenignTrafficIsCutAndNotReported) {
  Host h;
  std::int64_t ts = 100000;
  int addr = 0;
  for (int pass = 0; pass < 60; ++pass) {
    RequestTable batch;
    for (int i = 0; i < 50; ++i) {
      const std::string ip = "198.51." + std::to_string(addr / 250 % 250) + "." + std::to_string(addr % 250);
      ++addr;
      for (int k = 0; k < 3; ++k) batch.push_back(record({ip, "/p" + std::to_string(k)}, ts + k, k));
    }
    ts += 5;
    h.pass(std::move(batch));
    EXPECT_LE(h.m->held(), 150u * 14);
  }
  h.idle();
  EXPECT_EQ(h.windows_published(), 0u);
  EXPECT_TRUE(h.fakes.geoip_asked.empty());
  EXPECT_TRUE(h.lines_with("attack was detected").empty());
}

// A flood of identical requests at a high rate is reported once per
// window; windows are cut more than interval/2 after the last cut.
TEST(DDoSM, FloodIsReportedPerWindow) {
  Host h;
  for (int pass = 0; pass < 26; ++pass) h.pass(flood(100000 + pass * 5, 5, 20, "10.9.9.9"));
  h.idle();
  // Cuts at passes 13 and 26 (65 s apart), each a long window and a short one.
  EXPECT_EQ(h.windows_published(), 4u);
  auto lines = h.lines_with("attack was detected");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "info/ddos: The DDoS attack was detected from 10.9.9.9, target: shop/");
  std::size_t aad = 0;
  while (auto a = h.ctx.queues.q_aad->try_get()) aad += a->size();
  EXPECT_EQ(aad, 4u);
}

// An hour of rows at once: 60 windows, at most two analysed at a time,
// each once.
TEST(DDoSM, BacklogIsAnalysedOnceWindowByWindow) {
  Host h(2);
  h.pass(flood(200000, 3600, 1, "10.7.7.7"));
  h.clock->advance_s(60);
  h.pass({});
  EXPECT_LE(h.m->workers().running(), 2u);
  h.idle();
  EXPECT_EQ(h.windows_published(), 60u);
  EXPECT_EQ(h.m->held(), 0u);
}

// A backlog of windows already cut when the host is destroyed is still
// analysed and handed over, within the host's stop wait.
TEST(DDoSM, WindowsCutBeforeTheHostEndsAreHandedOver) {
  Host h(4);
  h.fakes.geoip_delay = 20ms;
  RequestTable rows;
  for (int s = 0; s < 3600; ++s) rows.push_back(record({"198.51.100.7", "/", 1, 200, "shop", "*"}, 200000 + s, s));
  h.pass(std::move(rows));
  h.clock->advance_s(60);
  h.pass({});
  std::this_thread::sleep_for(50ms);
  h.m.reset();
  EXPECT_EQ(h.windows_published(), 60u);
  std::size_t aad = 0;
  while (auto a = h.ctx.queues.q_aad->try_get()) aad += a->size();
  EXPECT_EQ(aad, 60u);
}

// Settings read on every call: a new interval cuts the next windows; an
// interval below 2 gives the default with one warning.
TEST(DDoSM, SettingsTakeEffectOnTheNextCall) {
  Host h;
  h.nsi->set("ddos_interval", Json(20));
  h.pass(flood(300000, 40, 1, "10.6.6.6"));  // 5 s after construction: not due
  EXPECT_EQ(h.m->held(), 40u);
  h.clock->advance_s(10);
  h.pass({});
  h.idle();
  EXPECT_EQ(h.windows_published(), 4u);  // 20-s windows every 10 s over 40 s
  for (Json bad : {Json(1), Json(0), Json("x")}) {
    h.nsi->set("ddos_interval", bad);
    h.pass({});
    h.pass({});
  }
  auto warnings = h.lines_with("An incorrect interval");
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(
      warnings[0],
      "warn/settings: An incorrect interval is set in DDoS attack detection module: 1, the value will be used: 120");
  h.nsi->set("ddos_latest_only", Json(true));
  h.nsi->set("ddos_interval", Json(120));
  h.pass(flood(400000, 5, 10, "10.5.5.5"));
  h.clock->advance_s(120);
  h.pass({});
  h.idle();
  std::size_t rows = 0;
  while (auto r = h.ctx.queues.q_attack_bd->try_get()) rows = r->table.size();
  EXPECT_EQ(rows, 1u);
}

TEST(DDoSM, HistoryKeepsTheLastIntervalOfRequestTime) {
  Host h;
  RequestTable t;
  for (std::int64_t ts : {1000, 1100, 1180, 1250, 1300}) t.push_back(record({"10.0.0.1"}, ts, 0));
  h.pass(std::move(t));
  EXPECT_EQ(h.m->history_rows(), 3u);
}

// Debug lines and the housekeeping pass at most every 30 seconds.
TEST(DDoSM, DebugLinesAndHousekeeping) {
  Host h(2, true);
  h.pass(flood(500000, 3, 2, "10.4.4.4"));
  auto lines = h.cap.take();
  EXPECT_EQ(lines, (std::vector<std::string>{"debug/ddos: DDoS analysis: received 6 request(s)"}));
  h.clock->advance_s(56);
  h.pass({});  // 66 s after construction: housekeeping, then the cut
  h.idle();
  auto later = h.lines_with("DDoS analysis");
  ASSERT_GE(later.size(), 2u);
  EXPECT_EQ(later[0], "debug/ddos: DDoS analysis: current dataset size: 6 request(s)");
  EXPECT_EQ(later[1], "debug/ddos: DDoS analysis: processing 6 request(s)");
}

// White-listed addresses and URLs never reach the host.
TEST(DDoSM, WhiteListedAddressesAndUrlsAreNotExamined) {
  Host h;
  LocalQueue q_local;
  const Json wl_ip = Json::array({"10.3.3.0/24"});
  const Json wl_url = Json::array({"/health*"});
  RequestTable t = flood(600000, 5, 2, "10.3.3.3");
  RequestTable u = flood(600000, 5, 2, "10.2.2.2");
  for (auto& r : u) r.url = "/healthz";
  RequestTable v = flood(600000, 5, 2, "10.1.0.1");
  RequestTable all = std::move(t);
  all.insert(all.end(), u.begin(), u.end());
  all.insert(all.end(), v.begin(), v.end());
  core::vexa_data_processing(std::move(all), q_local, {.ddos = true, .bf = false}, {},
                             {.schemix_vhosts_list = Json::array(),
                              .bf_wl_ip_list = Json::array(),
                              .bf_wl_host_list = Json::array(),
                              .ddos_wl_ip_list = wl_ip,
                              .ddos_wl_url_list = wl_url},
                             h.cap.sink());
  EventQueue q_geoip;
  auto nsg = std::make_shared<LocalNsg>();
  std::shared_ptr<DDoSM> shared(std::move(h.m));
  h.clock->advance_s(65);
  core::local_queue_processing({nsg, h.nsi, LockMap{}, core::GeoData{}, h.cap.sink()},
                               {.ddos = shared, .on = {.ddos = true}}, q_local, q_geoip);
  EXPECT_EQ(shared->held(), 0u);
  ASSERT_TRUE(shared->workers().wait_idle(10s));
  ASSERT_EQ(h.windows_published(), 1u);
  EXPECT_EQ(h.fakes.published[0].front().ip, "10.1.0.1");
}

// The settings step refuses window lengths below 2 seconds.
TEST(DDoSSettings, IntervalBelowTwoGivesTheDefault) {
  struct Case {
    Json value;
    Json in_force;
    bool warned;
  };
  for (const Case& c :
       {Case{Json(1), Json(120), true}, Case{Json(0), Json(120), true}, Case{Json(-3), Json(120), true},
        Case{Json(true), Json(120), true}, Case{Json(2), Json(2), false}, Case{Json(90), Json(90), false}}) {
    SCOPED_TRACE(c.value.dump());
    tessel::testing::LogCapture cap;
    SharedNamespace nsi;
    nsi.set("ddos_wl_ip_list", Json::array());
    nsi.set("ddos_wl_url_list", Json::array());
    nsi.set("ddos_interval", Json(120));
    nsi.set("ddos_latest_only", Json(false));
    nsi.set("ddos_send_possible", Json(false));
    core::ddos_settings_apply(nsi, Json{{"ddos__interval", c.value}}, "", "", cap.sink());
    EXPECT_EQ(nsi.get<Json>("ddos_interval"), c.in_force);
    bool warned = false;
    for (const auto& l : cap.take())
      warned =
          warned || l.rfind("warn/settings: An incorrect interval is set in DDoS attack detection module: ", 0) == 0;
    EXPECT_EQ(warned, c.warned);
  }
}
