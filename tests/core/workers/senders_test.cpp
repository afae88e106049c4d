// The workers that carry reports, events and statistics to the management
// API.
#include "core/workers/senders.h"

#include <gtest/gtest.h>

#include <cctype>
#include <thread>

#include "core/data/columns.h"
#include "support/api_context.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/tls_server.h"

using namespace tessel;
using namespace std::chrono_literals;
using tessel::testing::CannedResponse;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;

namespace {

// Items of one endpoint as bodies of batches: "a,b" for a batch of two.
struct FakePost {
  std::vector<std::string> sent;
  std::vector<std::optional<core::DeliveryError>> outcomes;  // in turn; then success
  std::size_t calls = 0;
  void operator()(const std::string&, const Json& body) {
    const std::size_t n = calls++;
    if (n < outcomes.size() && outcomes[n]) throw *outcomes[n];
    std::string s;
    for (const auto& i : body["items"]) s += (s.empty() ? "" : ",") + i.get<std::string>();
    sent.push_back(s);
  }
};

core::Outbox make_box(std::size_t batch, std::size_t capacity) {
  return core::Outbox("item(s)", "http://api/x", batch, capacity, [](std::vector<Json> items) {
    Json a = Json::array();
    for (auto& i : items) a.push_back(std::move(i));
    return Json{{"items", a}};
  });
}

const core::DeliveryError kDown{"ConnectionError: refused", true, true};
const core::DeliveryError kBusy{"<Response [503]>", true, false};
const core::DeliveryError kRejected{"<Response [400]>", false, false};

RequestRecord record(const std::string& id, const std::string& ip) {
  RequestRecord r;
  r.id = id;
  r.ip = ip;
  r.vhost = "a.com";
  r.url = "/login";
  return r;
}

}  // namespace

// Delivery order, retries, rejected batches and the bound of waiting items.
TEST(Outbox, DeliversInOrderRetriesAndBounds) {
  struct Case {
    const char* name;
    std::size_t batch, capacity;
    std::vector<std::string> items;
    std::vector<std::optional<core::DeliveryError>> outcomes;
    int flushes;  // each after the retry pause
    std::vector<std::string> sent;
    std::vector<std::string> log;
  };
  const std::string kept = "error/network: An error occurred while sending data to http://api/x: ";
  const std::vector<Case> cases = {
      {"all at once in batches", 2, 10, {"a", "b", "c"}, {}, 1, {"a,b", "c"}, {}},
      {"unreachable, then back: each item once, in order",
       2,
       10,
       {"a", "b", "c"},
       {kDown, kDown},
       3,
       {"a,b", "c"},
       {kept + "ConnectionError: refused; 3 item(s) kept for a retry",
        "info/api: Sending data to http://api/x resumed"}},
      {"a 5xx is retried too",
       5,
       10,
       {"a"},
       {kBusy},
       2,
       {"a"},
       {"error/api: An error occurred while sending data to http://api/x: <Response [503]>; 1 item(s) kept for a "
        "retry",
        "info/api: Sending data to http://api/x resumed"}},
      {"a rejected batch is dropped, the next one goes on",
       1,
       10,
       {"a", "b"},
       {kRejected},
       1,
       {"b"},
       {"error/api: An error occurred while sending data to http://api/x: <Response [400]>; 1 item(s) dropped"}},
      {"one item a request: the failed one goes again first, once",
       1,
       10,
       {"a", "b"},
       {kDown, kBusy},
       3,
       {"a", "b"},
       {kept + "ConnectionError: refused; 2 item(s) kept for a retry",
        "info/api: Sending data to http://api/x resumed"}},
      {"one item a request: a rejected one is dropped",
       1,
       10,
       {"a", "b"},
       {kRejected},
       1,
       {"b"},
       {"error/api: An error occurred while sending data to http://api/x: <Response [400]>; 1 item(s) dropped"}},
      {"past the bound the oldest are dropped and counted",
       10,
       2,
       {"a", "b", "c", "d"},
       {},
       1,
       {"c,d"},
       {"warn/api: 2 item(s) waiting for http://api/x dropped: more than 2 were waiting (2 dropped so far)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture lc;
    auto box = make_box(c.batch, c.capacity);
    for (const auto& i : c.items) box.add(i);
    FakePost post{{}, c.outcomes};
    auto t = std::chrono::steady_clock::now();
    for (int f = 0; f < c.flushes; ++f) {
      box.flush(std::ref(post), t, 5s, lc.sink());
      t += 5s;
    }
    EXPECT_EQ(post.sent, c.sent);
    EXPECT_EQ(box.pending(), 0u);
    EXPECT_EQ(lc.take(), c.log);
  }
}

// Rejected batches are dropped at once but logged at most once per retry
// pause, with the count of what was dropped since.
TEST(Outbox, RejectionsAreLoggedOncePerRetryPause) {
  LogCapture lc;
  auto box = make_box(1, 10);
  FakePost post{{}, {kRejected, kRejected, kRejected, kRejected}};
  const auto t = std::chrono::steady_clock::now();
  for (const char* i : {"a", "b", "c"}) box.add(i);
  box.flush(std::ref(post), t, 5s, lc.sink());
  box.add("d");
  box.flush(std::ref(post), t + 1s, 5s, lc.sink());
  EXPECT_EQ(box.pending(), 0u);
  const std::string line = "error/api: An error occurred while sending data to http://api/x: <Response [400]>; ";
  EXPECT_EQ(lc.take(), std::vector<std::string>{line + "1 item(s) dropped"});
  // due: logged without a further delivery
  box.flush(std::ref(post), t + 5s, 5s, lc.sink());
  EXPECT_EQ(lc.take(), std::vector<std::string>{line + "3 item(s) dropped"});
  box.add("e");
  box.flush(std::ref(post), t + 6s, 5s, lc.sink());
  EXPECT_EQ(post.sent, std::vector<std::string>{"e"});
  EXPECT_TRUE(lc.take().empty());
}

// With one item a request, the item waiting for a retry is the oldest: past
// the bound it is the one dropped.
TEST(Outbox, OneItemARequestKeepsTheBoundWithAFailedItem) {
  LogCapture lc;
  auto box = make_box(1, 2);
  FakePost post{{}, {kDown}};
  const auto t = std::chrono::steady_clock::now();
  box.add("a");
  box.flush(std::ref(post), t, 5s, lc.sink());
  box.add("b");
  EXPECT_EQ(box.pending(), 2u);
  box.add("c");
  EXPECT_EQ(box.pending(), 2u);
  EXPECT_EQ(box.dropped(), 1u);
  box.flush(std::ref(post), t + 5s, 5s, lc.sink());
  EXPECT_EQ(post.sent, (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(box.pending(), 0u);
}

// A flush limited to one request sends one batch; the box stays due until
// everything is sent, and not while a retry pause holds it back. Drops past
// the bound are logged once per retry pause.
TEST(Outbox, OneRequestATurnAndDropsLoggedOncePerPause) {
  LogCapture lc;
  auto box = make_box(2, 4);
  FakePost post{{}, {std::nullopt, kDown}};
  const auto t = std::chrono::steady_clock::now();
  for (const char* i : {"a", "b", "c", "d", "e"}) box.add(i);  // "a" dropped
  box.flush(std::ref(post), t, 5s, lc.sink(), 1);
  EXPECT_EQ(post.sent, std::vector<std::string>{"b,c"});
  EXPECT_TRUE(box.due(t));
  for (const char* i : {"f", "g", "h"}) box.add(i);  // "d" dropped; logged after the pause
  box.flush(std::ref(post), t, 5s, lc.sink(), 1);    // fails
  EXPECT_FALSE(box.due(t + 4s));
  EXPECT_TRUE(box.due(t + 5s));
  box.flush(std::ref(post), t + 5s, 5s, lc.sink(), 1);
  box.flush(std::ref(post), t + 5s, 5s, lc.sink(), 1);
  EXPECT_EQ(post.sent, (std::vector<std::string>{"b,c", "e,f", "g,h"}));
  EXPECT_FALSE(box.due(t + 5s));
  const std::string drops = "warn/api: 1 item(s) waiting for http://api/x dropped: more than 4 were waiting (";
  EXPECT_EQ(lc.take(), (std::vector<std::string>{
                           drops + "1 dropped so far)",
                           "error/network: An error occurred while sending data to http://api/x: ConnectionError: "
                           "refused; 4 item(s) kept for a retry",
                           drops + "2 dropped so far)", "info/api: Sending data to http://api/x resumed"}));
}

TEST(Outbox, WaitsForTheRetryPause) {
  LogCapture lc;
  auto box = make_box(5, 10);
  box.add("a");
  FakePost post{{}, {kDown}};
  const auto t = std::chrono::steady_clock::now();
  box.flush(std::ref(post), t, 5s, lc.sink());
  box.add("b");
  box.flush(std::ref(post), t + 4s, 5s, lc.sink());
  EXPECT_EQ(post.calls, 1u);
  EXPECT_EQ(box.pending(), 2u);
  box.flush(std::ref(post), t + 5s, 5s, lc.sink());
  EXPECT_EQ(post.sent, (std::vector<std::string>{"a,b"}));
}

// The event-and-API sender against a local server: what goes where, and a
// report kept while the server answers 503.
// A logger at INFO whose records are kept.
struct RecordingLogger {
  std::shared_ptr<Logger> log = std::make_shared<Logger>("senders-test");
  std::shared_ptr<LogQueue> records = std::make_shared<LogQueue>();
  RecordingLogger() {
    log->set_level(INFO);
    log->add_handler(records);
  }
};

// The event-and-API sender on a thread of its own, its endpoints under
// `base`.
struct SenderThread {
  std::stop_source stop;
  std::thread thread;
  SenderThread(const std::string& base, std::shared_ptr<AttackQueue> q_attack_api, std::shared_ptr<TableQueue> q_mt_api,
               std::shared_ptr<EventQueue> q_api, LogSink sink, core::SenderOptions opts,
               Json headers = Json::object()) {
    core::ApiEndpoints e;
    e.set_event_url = base + "/set_event";
    e.set_attack_url = base + "/attack";
    e.set_mt_data_url = base + "/set_mt_data_uri";
    thread = std::thread([=, token = stop.get_token()] {
      core::rmq_log_and_api_processing("10.0.0.5", "u1", e, tessel::testing::api_context("k1", headers), "",
                                       q_attack_api, q_mt_api, q_api, sink, token, opts);
    });
  }
  void join() {
    stop.request_stop();
    if (thread.joinable()) thread.join();
  }
  ~SenderThread() { join(); }
};

TEST(Senders, EventAndApiSenderBodies) {
  LoopbackHttpServer srv;
  std::atomic<int> attack_calls{0};
  srv.route("POST", "/attack", [&](const tessel::testing::RecordedRequest&) {
    return ++attack_calls == 1 ? CannedResponse{503, "{}"} : CannedResponse{200, R"({"status": "success"})"};
  });
  for (const char* p : {"/set_event", "/set_mt_data_uri"}) srv.route("POST", p, CannedResponse{200, "{}"});
  auto q_attack_api = std::make_shared<AttackQueue>();
  auto q_mt_api = std::make_shared<TableQueue>();
  auto q_api = std::make_shared<EventQueue>();
  auto q_ec = std::make_shared<EventQueue>();
  auto log = std::make_shared<Logger>("senders-test");
  q_attack_api->put({{record("r1", "192.0.2.1")}, kBruteForce});
  auto mt = record("r2", "192.0.2.2");
  mt.extras["mz_origin"] = "ARGS";
  mt.extras["possible"] = false;
  q_mt_api->put({mt});
  q_api->put(Json{{"api", 1}});
  q_ec->put(Json{{"message", "hello"}});

  core::SenderOptions opts;
  opts.cycle = 20ms;
  opts.retry_pause = 50ms;
  SenderThread t(srv.url(""), q_attack_api, q_mt_api, q_api, LogSink{q_ec, log, false}, opts,
                 Json{{"User-Agent", "ua"}});
  for (int i = 0; i < 500 && srv.requests_to("/attack").size() < 2; ++i) std::this_thread::sleep_for(10ms);
  for (int i = 0; i < 100 && srv.requests_to("/set_event").size() < 3; ++i) std::this_thread::sleep_for(10ms);
  t.join();

  const auto attacks = srv.requests_to("/attack");
  ASSERT_EQ(attacks.size(), 2u);  // refused once, then delivered
  const Json a = Json::parse(attacks[1].body);
  EXPECT_EQ(a["key"], "k1");
  EXPECT_EQ(a["uuid"], "u1");
  EXPECT_EQ(a["ip"], "10.0.0.5");
  EXPECT_EQ(a["kind"], kBruteForce);
  ASSERT_EQ(a["rows"].size(), 1u);
  EXPECT_EQ(a["rows"][0]["id"], "r1");
  EXPECT_EQ(attacks[1].header("Cookie"), "key=k1");
  EXPECT_EQ(attacks[1].header("User-Agent"), "ua");

  const auto tables = srv.requests_to("/set_mt_data_uri");
  ASSERT_EQ(tables.size(), 1u);
  const Json m = Json::parse(tables[0].body);
  std::vector<std::string> keys;
  for (const auto& [k, v] : m["rows"][0].items()) keys.push_back(k);
  EXPECT_EQ(keys, core::tessel_df_columns());
  EXPECT_EQ(m["rows"][0]["mz_origin"], "ARGS");

  // the WAF's "api" objects and the events go to "/set_event", each under its own field
  std::vector<Json> events, api;
  for (const auto& r : srv.requests_to("/set_event")) {
    const Json b = Json::parse(r.body);
    for (const auto& e : b.value("events", Json::array())) events.push_back(e);
    for (const auto& e : b.value("api", Json::array())) api.push_back(e);
  }
  EXPECT_EQ(api, std::vector<Json>{Json({{"api", 1}})});
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0], Json({{"message", "hello"}}));
  // the refused report was logged, but not sent as an event: the sender's
  // own failures never feed the events it sends
  std::size_t refused = 0;
  for (const auto& e : events) refused += e.value("message", "").find("kept for a retry") != std::string::npos;
  EXPECT_EQ(refused, 0u);
}

// Against an address that cannot be reached, or cannot be requested at all,
// while events keep coming: the sender logs its failure once per retry
// pause and queues no event of its own.
TEST(Senders, OwnDeliveryFailuresAreLoggedNotQueued) {
  for (const char* base : {"http://127.0.0.1:9/vx-api", "http://127.0.0.1:8089 junk/vx-api"}) {
    SCOPED_TRACE(base);
    auto q_ec = std::make_shared<EventQueue>();
    RecordingLogger rec;
    auto log = rec.log;
    auto records = rec.records;
    core::SenderOptions opts;
    opts.cycle = 5ms;
    opts.retry_pause = 1h;
    opts.batch = 3;
    SenderThread t(std::string(base), std::make_shared<AttackQueue>(), std::make_shared<TableQueue>(),
                   std::make_shared<EventQueue>(), LogSink{q_ec, log, false}, opts);
    for (int i = 0; i < 100; ++i) {
      q_ec->put(Json{{"message", "e" + std::to_string(i)}});
      std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 500 && q_ec->qsize() > 0; ++i) std::this_thread::sleep_for(5ms);
    t.join();
    EXPECT_FALSE(q_ec->try_get().has_value());
    const auto lines = records->drain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0].message.rfind("An error occurred while sending data to " + std::string(base) + "/set_event: ", 0), 0u)
        << lines[0].message;
  }
}

// Attack reports wait as reports while one is being delivered; past the bound
// of waiting reports the oldest are dropped and logged.
TEST(Senders, WaitingReportsKeepTheirBound) {
  LoopbackHttpServer srv;
  srv.route("POST", "/attack", CannedResponse{503, "{}"});
  auto q_attack_api = std::make_shared<AttackQueue>();
  for (int i = 0; i < 5; ++i) q_attack_api->put({{record("r" + std::to_string(i), "192.0.2.1")}, kDDoS});
  RecordingLogger rec;
  auto log = rec.log;
  auto records = rec.records;
  core::SenderOptions opts;
  opts.cycle = 5ms;
  opts.retry_pause = 1h;
  opts.max_pending_tables = 2;
  SenderThread t(srv.url(""), q_attack_api, std::make_shared<TableQueue>(), std::make_shared<EventQueue>(),
                 LogSink{std::make_shared<EventQueue>(), log, false}, opts);
  for (int i = 0; i < 500 && srv.requests_to("/attack").empty(); ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(50ms);
  t.join();
  const auto attacks = srv.requests_to("/attack");
  ASSERT_EQ(attacks.size(), 1u);
  EXPECT_EQ(Json::parse(attacks[0].body)["rows"][0]["id"], "r0");
  EXPECT_EQ(q_attack_api->qsize(), 1u);  // with the one kept for a retry, the bound of two
  std::vector<std::string> lines;
  for (const auto& r : records->drain()) lines.push_back(r.message);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "3 attack report(s) waiting for " + srv.url("/attack") +
                          " dropped: more than 2 were waiting (3 dropped so far)");
  EXPECT_EQ(lines[1].rfind("An error occurred while sending data to " + srv.url("/attack") + ": ", 0), 0u) << lines[1];
}

// Events faster than the endpoint takes them: a burst of up to three times
// the bound of waiting events is delivered whole (the bound in the sender,
// twice the bound on the queue); past that the oldest on the queue are
// dropped and logged, so the queue stays bounded.
TEST(Senders, EventBurstsAreDeliveredWholeUpToTheQueueBound) {
  struct Case {
    int burst;
    std::vector<int> delivered;
    std::size_t dropped;
  };
  auto range = [](int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; ++i) v.push_back(i);
    return v;
  };
  std::vector<int> cut = range(0, 10);
  for (int i : range(80, 100)) cut.push_back(i);
  const Case cases[] = {{25, range(0, 25), 0}, {30, range(0, 30), 0}, {100, cut, 70}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.burst);
    LoopbackHttpServer srv;
    srv.route("POST", "/set_event", CannedResponse{200, "{}"});
    auto q_ec = std::make_shared<EventQueue>();
    for (int i = 0; i < c.burst; ++i) q_ec->put(Json{{"message", "e" + std::to_string(i)}});
    RecordingLogger rec;
    auto log = rec.log;
    auto records = rec.records;
    core::SenderOptions opts;
    opts.cycle = 5ms;
    opts.batch = 5;
    opts.max_pending = 10;
    SenderThread t(srv.url(""), std::make_shared<AttackQueue>(), std::make_shared<TableQueue>(),
                   std::make_shared<EventQueue>(), LogSink{q_ec, log, false}, opts);
    auto delivered = [&] {
      std::vector<int> got;
      for (const auto& r : srv.requests_to("/set_event")) {
        const Json body = Json::parse(r.body);
        for (const auto& e : body["events"]) {
          const std::string m = e["message"].get<std::string>();
          if (m.size() > 1 && m[0] == 'e' && std::isdigit(static_cast<unsigned char>(m[1])))
            got.push_back(std::stoi(m.substr(1)));
        }
      }
      return got;
    };
    for (int i = 0; i < 500 && delivered().size() < c.delivered.size(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(30ms);
    t.join();
    EXPECT_EQ(delivered(), c.delivered);
    std::vector<std::string> drops;
    for (const auto& r : records->drain())
      if (r.message.find(" dropped: ") != std::string::npos) drops.push_back(r.message);
    if (c.dropped == 0) {
      EXPECT_TRUE(drops.empty());
    } else {
      ASSERT_EQ(drops.size(), 1u);
      EXPECT_EQ(drops[0].rfind(std::to_string(c.dropped) + " ", 0), 0u) << drops[0];
    }
  }
}

TEST(Senders, StatisticsByType) {
  LoopbackHttpServer srv;
  srv.route("POST", "/req", CannedResponse{200, "{}"});
  srv.route("POST", "/traffic", CannedResponse{200, "{}"});
  auto q_stats = std::make_shared<EventQueue>();
  auto q_ec = std::make_shared<EventQueue>();
  for (const Json& s : {Json{{"type", "traffic"}, {"n", 1}}, Json{{"type", "request"}, {"n", 2}}, Json{{"n", 3}},
                        Json{{"type", "traffic"}, {"n", 4}}})
    q_stats->put(s);
  std::stop_source stop;
  core::SenderOptions opts;
  opts.cycle = 20ms;
  std::thread t([&] {
    core::ApiEndpoints e;
    e.set_request_stats_url = srv.url("/req");
    e.set_traffic_stats_url = srv.url("/traffic");
    core::rmq_stats_processing(e, tessel::testing::api_context("k1"), q_stats, tessel::testing::sink_over(*q_ec),
                               stop.get_token(), opts);
  });
  ASSERT_TRUE(srv.wait_for_requests(2, 5s));
  stop.request_stop();
  t.join();
  auto ns = [&](const std::string& path) {
    std::vector<int> out;
    for (const auto& r : srv.requests_to(path)) {
      const Json b = Json::parse(r.body);
      EXPECT_EQ(b["key"], "k1");
      for (const auto& s : b["stats"]) out.push_back(s["n"]);
    }
    return out;
  };
  EXPECT_EQ(ns("/traffic"), (std::vector<int>{1, 4}));
  EXPECT_EQ(ns("/req"), (std::vector<int>{2, 3}));
}

TEST(Senders, AttackForwarderPassesReportsOn) {
  auto q_bd = std::make_shared<AttackQueue>();
  auto q_api = std::make_shared<AttackQueue>();
  auto q_ec = std::make_shared<EventQueue>();
  q_bd->put({{record("r1", "192.0.2.1"), record("r2", "192.0.2.2")}, kDDoS});
  q_bd->put({{record("r3", "192.0.2.3")}, kFlood});
  std::stop_source stop;
  std::thread t(
      [&] { core::q_attack_bd_processing(nullptr, q_bd, q_api, tessel::testing::sink_over(*q_ec), stop.get_token()); });
  std::vector<AttackReport> got;
  while (got.size() < 2)
    if (auto r = q_api->get(5s))
      got.push_back(std::move(*r));
    else
      break;
  stop.request_stop();
  t.join();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].kind, kDDoS);
  EXPECT_EQ(got[0].table.size(), 2u);
  EXPECT_EQ(got[1].kind, kFlood);
  EXPECT_EQ(got[1].table[0].id, "r3");
}

// A direct post trusts the configured certificate bundle: a management API
// whose certificate a private authority issued.
TEST(Senders, PostsTrustTheCertificateBundle) {
  tessel::testing::TempDir dir;
  const std::string ca = dir.file("ca.pem");
  tessel::testing::LoopbackTlsServer srv({{"/agent", R"({"status": "success"})"}}, ca);
  core::ApiContext api = tessel::testing::api_context("k");
  EXPECT_THROW(core::post_json(srv.url("/agent"), Json{{"key", "k"}}, api), core::DeliveryError);
  api.ca_bundle = ca;
  EXPECT_NO_THROW(core::post_json(srv.url("/agent"), Json{{"key", "k"}}, api));
  EXPECT_EQ(srv.hits("/agent"), 1);
}
